#pragma once
// The surroundings the USB server benchmark runs in: a network namespace of
// its own with only loopback up (never the host's network), a private root
// directory, and a self-signed certificate pair for the TLS listener.
#include <string>

// unshare(CLONE_NEWNET) for the calling thread and every thread it starts
// later, then brings "lo" up. Must run before any other thread exists.
// Empty on success, else what failed.
std::string enterPrivateNetwork();

// A temporary directory that becomes the root directory (setRootDirectory)
// and is removed with everything in it at the end.
class BenchRoot {
 public:
  BenchRoot();
  ~BenchRoot();
  BenchRoot(const BenchRoot&) = delete;
  BenchRoot& operator=(const BenchRoot&) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes a self-signed RSA certificate and its key (mode 0600) as the
// appliance's own pair under the root directory. Empty on success.
std::string writeOwnCertificatePair();
