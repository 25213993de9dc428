#pragma once
// The baseline of the USB server benchmark: a TCP relay on loopback that
// answers transfer requests with the very messages the server sends (same
// headers, same 64 KiB parts for IN data, same single reply for OUT), so
// that a client moves the same bytes through the same system calls and only
// the server's own work is missing. Plain, or TLS with the same certificate
// pair as the server (the appliance's own pair under the root directory).
// Each connection is served by a thread of its own named "TcpRelay",
// blocking, one request at a time.
//
// Threads: the accept thread owns the listening socket; mutex_ guards
// threads_, tids_ and sockets_.
#include <openssl/ssl.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FramedRelay {
 public:
  static constexpr size_t kPartSize = 65536;
  static constexpr uint32_t kMaxOutLength = 16u << 20;

  explicit FramedRelay(bool tls) : tls_(tls) {}
  ~FramedRelay();
  FramedRelay(const FramedRelay&) = delete;
  FramedRelay& operator=(const FramedRelay&) = delete;

  // Listens on 127.0.0.1 at a port the kernel picks. Empty on success.
  std::string start();
  uint16_t port() const { return port_; }
  // CPU nanoseconds of the connection threads still running.
  uint64_t cpuNanos() const;

 private:
  struct ContextFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
  };

  void acceptLoop();
  void serve(int fd);

  const bool tls_;
  std::unique_ptr<SSL_CTX, ContextFree> context_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<pid_t> tids_;
  std::vector<int> sockets_;
};
