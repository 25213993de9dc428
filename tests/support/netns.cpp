#include "tests/support/netns.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr const char kPrefix[] = "appl-";
constexpr const char kNetnsDir[] = "/run/netns";

std::atomic<int> pairCounter{0};

int shell(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Removes namespaces named "appl-<pid>-..." whose process no longer exists.
void removeStaleNamespaces() {
  DIR* dir = ::opendir(kNetnsDir);
  if (dir == nullptr) return;
  std::vector<std::string> stale;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(kPrefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + sizeof kPrefix - 1, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) stale.push_back(name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) shell("ip netns del " + name);
}

std::string netnsPath(const std::string& name) { return std::string(kNetnsDir) + "/" + name; }

}  // namespace

std::string NetnsPair::vlanInsideAddress(int vlan) { return "198.19." + std::to_string(vlan) + ".1"; }

std::string NetnsPair::vlanPeerAddress(int vlan) { return "198.19." + std::to_string(vlan) + ".2"; }

bool NetnsPair::run(const std::string& command) {
  if (shell(command) == 0) return true;
  error_ = "failed: " + command;
  return false;
}

NetnsPair::NetnsPair(std::vector<int> vlans) {
  removeStaleNamespaces();
  const std::string base =
      kPrefix + std::to_string(::getpid()) + "-" + std::to_string(pairCounter.fetch_add(1));
  inside_ = base + "-in";
  peer_ = base + "-pe";
  if (!run("ip netns add " + inside_) || !run("ip netns add " + peer_)) return;
  const std::string in = "ip -n " + inside_ + " ";
  const std::string pe = "ip -n " + peer_ + " ";
  if (!run("ip link add name eth0 netns " + inside_ + " type veth peer name peer0 netns " + peer_) ||
      !run(in + "link set lo up") || !run(pe + "link set lo up") ||
      !run(in + "addr add " + kInsideAddress + "/24 dev eth0") ||
      !run(pe + "addr add " + kPeerAddress + "/24 dev peer0") || !run(in + "link set eth0 up") ||
      !run(pe + "link set peer0 up")) {
    return;
  }
  for (const int vlan : vlans) {
    if (vlan < 1 || vlan > 255) {
      error_ = "VLAN ids of the fixture lie in 1..255";
      return;
    }
    const std::string device = "eth0." + std::to_string(vlan);
    const std::string peerDevice = "peer" + std::to_string(vlan);
    if (!run("ip link add name " + device + " netns " + inside_ + " type veth peer name " +
             peerDevice + " netns " + peer_) ||
        !run(in + "addr add " + vlanInsideAddress(vlan) + "/24 dev " + device) ||
        !run(pe + "addr add " + vlanPeerAddress(vlan) + "/24 dev " + peerDevice) ||
        !run(in + "link set " + device + " up") || !run(pe + "link set " + peerDevice + " up")) {
      return;
    }
  }
  ok_ = true;
}

NetnsPair::~NetnsPair() {
  if (originalNetns_ >= 0) {
    ::setns(originalNetns_, CLONE_NEWNET);
    ::close(originalNetns_);
  }
  // Deleting a namespace deletes its devices and with them their veth peers.
  shell("ip netns del " + inside_);
  shell("ip netns del " + peer_);
}

void NetnsPair::runIn(const std::string& name, const std::function<void()>& fn) const {
  std::thread worker([&] {
    const int fd = ::open(netnsPath(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
      if (fd >= 0) ::close(fd);
      std::abort();  // running the body outside would touch the host's network
    }
    ::close(fd);
    fn();
  });
  worker.join();
}

void NetnsPair::runInside(const std::function<void()>& fn) const { runIn(inside_, fn); }

void NetnsPair::runInPeer(const std::function<void()>& fn) const { runIn(peer_, fn); }

void NetnsPair::enterInside() {
  if (originalNetns_ < 0) originalNetns_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int fd = ::open(netnsPath(inside_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) std::abort();
  ::close(fd);
}

int NetnsPair::execInside(const std::string& command) const {
  return shell("ip netns exec " + inside_ + " sh -c '" + command + "'");
}

int NetnsPair::execInPeer(const std::string& command) const {
  return shell("ip netns exec " + peer_ + " sh -c '" + command + "'");
}
