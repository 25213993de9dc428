#pragma once
// A pair of uniquely named network namespaces joined by veth pairs: the
// "inside" namespace holds eth0 (where the appliance lives), the "peer"
// namespace holds the other ends (where the test's clients live). Extra
// pairs eth0.N / peerN stand in for VLAN devices. Addresses come from
// 198.18.0.0/15 only:
//   eth0 198.18.0.1/24, peer0 198.18.0.2/24,
//   eth0.N 198.19.N.1/24, peerN 198.19.N.2/24 (N from 1 to 255).
// Everything is removed when the object goes away, also after a failed
// test; namespaces left behind by a test process that crashed are removed
// by the next one.
#include <functional>
#include <string>
#include <vector>

class NetnsPair {
 public:
  explicit NetnsPair(std::vector<int> vlans = {});
  ~NetnsPair();
  NetnsPair(const NetnsPair&) = delete;
  NetnsPair& operator=(const NetnsPair&) = delete;

  // false when the namespaces could not be set up (error() tells why)
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  const std::string& inside() const { return inside_; }
  const std::string& peer() const { return peer_; }

  static constexpr const char* kInsideAddress = "198.18.0.1";
  static constexpr const char* kPeerAddress = "198.18.0.2";
  static std::string vlanInsideAddress(int vlan);
  static std::string vlanPeerAddress(int vlan);

  // Runs fn on a fresh thread that has entered the namespace; sockets it
  // creates stay in that namespace, and tasks it starts inherit it.
  void runInside(const std::function<void()>& fn) const;
  void runInPeer(const std::function<void()>& fn) const;
  // Moves the calling thread into the inside namespace until the pair is
  // destroyed (for tests whose whole body runs inside).
  void enterInside();
  // Runs a shell command in a namespace; its exit status.
  int execInside(const std::string& command) const;
  int execInPeer(const std::string& command) const;

 private:
  void runIn(const std::string& name, const std::function<void()>& fn) const;
  bool run(const std::string& command);

  std::string inside_;
  std::string peer_;
  bool ok_ = false;
  std::string error_;
  int originalNetns_ = -1;
};
