// Connection set-up: sockets, options, binding, UNIX and packet sockets.
#include "core/connection.h"

#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/interface_view.h"
#include "core/paths.h"
#include "core/unique_fd.h"
#include "core/util_files.h"

namespace {

constexpr char kNoInterfaceName[] = "NoIFace";
constexpr int kDeviceNameMax = 15;
constexpr int kBindToDeviceSize = 32;
constexpr std::size_t kUnixPathMaxBind = 107;
constexpr std::size_t kUnixPathMaxConnect = 105;
constexpr int kPacketProtocol = 0x0800;
constexpr socklen_t kPacketAddressLength = 20;

// Names the client sockets of this process; the process id keeps them apart
// from other processes'.
std::atomic<int> unixSocketCounter{0};

std::string deviceFor(const char* name, int vlanId) {
  char device[kDeviceNameMax + 1];
  if (vlanId >= 0) {
    std::snprintf(device, sizeof device, "%s.%d", name, vlanId);
  } else {
    std::snprintf(device, sizeof device, "%s", name);
  }
  return device;
}

int bindToDevice(int fd, const std::string& device) {
  char name[kBindToDeviceSize] = {};
  std::strncpy(name, device.c_str(), sizeof name - 1);
  return ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof name);
}

bool fillUnixAddress(sockaddr_un* address, const char* path) {
  *address = sockaddr_un{};
  address->sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof address->sun_path) return false;
  std::strcpy(address->sun_path, path);
  return true;
}

bool isSocketFile(const char* path) {
  struct stat status{};
  return ::lstat(path, &status) == 0 && S_ISSOCK(status.st_mode);
}

// True when nothing serves the socket file at path any more: only then may
// it be removed.
bool isStaleUnixSocket(const char* path) {
  sockaddr_un address;
  if (!fillUnixAddress(&address, path)) return false;
  const UniqueFd probe(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return false;
  if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return false;
  }
  return errno == ECONNREFUSED && isSocketFile(path);
}

template <typename T>
int setOption(int fd, int level, int name, T value) {
  return ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

int force2face(int fd, const char* deviceName, int vlanId) {
  if (fd < 0) return -1;
  return bindToDevice(fd, deviceFor(deviceName, vlanId)) == 0 ? 0 : -1;
}

void Connection::init(Task* owner, InterfaceView* interface, int vlanId) {
  port_ = 0;
  family_ = 0;
  type_ = 0;
  state_ = kStateClosed;
  fd_ = -1;
  vlanId_ = vlanId;
  interface_ = interface;
  owner_ = owner;
  local_ = kIpv4AnyAddress;
  peer_ = kIpv4AnyAddress;
  errorKind_ = kErrorNone;
  unixPath_.clear();
}

int Connection::open(int family, int type, int protocol) {
  if (fd_ >= 0) close();
  int fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  if (fd < 0 && family == AF_INET6) {
    family = AF_INET;
    fd = ::socket(family, type | SOCK_CLOEXEC, protocol);
  }
  if (fd < 0) return 0;
  fd_ = fd;
  family_ = family;
  type_ = type;
  return 1;
}

int Connection::close() {
  if (fd_ < 0) return 0;
  const int result = ::close(fd_);
  fd_ = -1;
  state_ = kStateClosed;
  if (!unixPath_.empty()) {
    // our own socket file; nobody can reach it any more
    ::unlink(unixPath_.c_str());
    unixPath_.clear();
  }
  return result == 0 ? 1 : 0;
}

void Connection::dispose() {
  if (fd_ >= 0) close();
  state_ = kStateClosed;
  fd_ = -1;
}

int Connection::setReuseAddr() {
  return setOption(fd_, SOL_SOCKET, SO_REUSEADDR, 1) == 0 ? 1 : 0;
}

int Connection::setNonBlocking() { return ::setNonBlocking(fd_, true); }

int Connection::setBlocking() { return ::setNonBlocking(fd_, false); }

int Connection::set_maxseg(int bytes) {
  if (fd_ > 256) std::fprintf(stderr, "%s %s %d fd:%d!!\n", "connection", "set_maxseg", 264, fd_);
  return setOption(fd_, IPPROTO_TCP, TCP_MAXSEG, bytes) == 0 ? 1 : 0;
}

int Connection::set_nagleon() {
  if (fd_ > 256) std::fprintf(stderr, "%s %s %d fd:%d!!\n", "connection", "set_nagleon", 292, fd_);
  return setOption(fd_, IPPROTO_TCP, TCP_NODELAY, 1) == 0 ? 1 : 0;
}

int Connection::setMulticastTtl(int ttl) {
  return setOption(fd_, IPPROTO_IP, IP_MULTICAST_TTL, static_cast<unsigned char>(ttl)) == 0 ? 1 : 0;
}

std::string Connection::deviceName() const {
  return deviceFor(interface_ != nullptr ? interface_->deviceName() : kNoInterfaceName, vlanId_);
}

int Connection::bindToInterface() {
  if (fd_ < 0) return 0;
  return bindToDevice(fd_, deviceName()) == 0 ? 1 : 0;
}

int Connection::bind(int port, bool any, int vlanIndex) {
  port_ = port;
  local_ = InetAddr();
  InetAddr address;
  if (family_ == AF_INET6) {
    address.setAny(true);
  } else {
    if (vlanIndex > 0) {
      address = interface_ != nullptr ? interface_->vlanAddress(vlanIndex) : kIpv4AnyAddress;
    } else if (any || interface_ == nullptr) {
      address = kIpv4AnyAddress;
    } else {
      address = interface_->address(vlanId_);
    }
    address.setFamily(family_);
  }
  address.setPort(static_cast<std::uint16_t>(port));
  setReuseAddr();
  if (::bind(fd_, address.sockaddrPtr(), address.length()) != 0) return 0;
  socklen_t length = InetAddr::kStorageSize;
  ::getsockname(fd_, local_.sockaddrPtr(), &length);
  return 1;
}

int Connection::bindMulticast(int port, const InetAddr& group, bool doNotRoute) {
  port_ = port;
  const bool withGroup = group.isSet() && !group.isIpv6();
  const InetAddr interfaceAddress =
      interface_ != nullptr ? interface_->address(vlanId_) : kIpv4AnyAddress;
  local_ = interfaceAddress;
  local_.setFamily(family_);
  local_.setPort(static_cast<std::uint16_t>(port));

  setReuseAddr();
  setMulticastTtl(1);
  if (withGroup) setOption(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, static_cast<unsigned char>(0));
  if (doNotRoute) setOption(fd_, SOL_SOCKET, SO_DONTROUTE, 1);

  InetAddr bindAddress = local_;
  bindAddress.setIpv4Word(withGroup ? group.ipv4Word() : 0);
  if (::bind(fd_, bindAddress.sockaddrPtr(), sizeof(sockaddr_in)) != 0) return 0;
  if (withGroup) {
    ip_mreqn membership{};
    membership.imr_multiaddr.s_addr = group.ipv4Word();
    membership.imr_address.s_addr = interfaceAddress.ipv4Word();
    membership.imr_ifindex = 0;
    if (::setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
      return 0;
    }
  }
  socklen_t length = InetAddr::kStorageSize;
  ::getsockname(fd_, local_.sockaddrPtr(), &length);
  return 1;
}

int Connection::bindDatagram(int port, bool multicast, bool doNotRoute, bool any) {
  if (multicast) return bindMulticast(port, kIpv4AnyAddress, doNotRoute);
  return bind(port, any, -1);
}

int Connection::listen(int backlog) {
  if ((family_ != AF_INET && family_ != AF_INET6) || type_ != SOCK_STREAM) return 0;
  if (::listen(fd_, backlog) != 0) return 0;
  state_ = kStateListening;
  return 1;
}

int Connection::acceptFrom(int listeningFd) {
  if (fd_ >= 0) close();
  socklen_t length = peerLength();
  const int fd = ::accept4(listeningFd, peer_.sockaddrPtr(), &length, SOCK_CLOEXEC);
  if (fd < 0) return 0;
  fd_ = fd;
  length = InetAddr::kStorageSize;
  ::getpeername(fd_, peer_.sockaddrPtr(), &length);
  length = InetAddr::kStorageSize;
  ::getsockname(fd_, local_.sockaddrPtr(), &length);
  family_ = peer_.family();
  if (type_ == 0) type_ = SOCK_STREAM;
  return 1;
}

int Connection::localAddress(InetAddr* out) const {
  if (local_.isSet()) {
    *out = local_;
    return 1;
  }
  if (interface_ == nullptr) return 0;
  *out = interface_->address(vlanId_);
  return 1;
}

int Connection::bindUnixPath(const std::string& path) {
  sockaddr_un address;
  if (!fillUnixAddress(&address, path.c_str())) return 0;
  auto bindOnce = [&] {
    return ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  };
  if (!bindOnce()) {
    // Only a file no socket serves any more is taken over.
    if (errno != EADDRINUSE || !isStaleUnixSocket(path.c_str())) return 0;
    ::unlink(path.c_str());
    if (!bindOnce()) return 0;
  }
  unixPath_ = path;
  return 1;
}

int Connection::openUnixDatagram(const char* path) {
  if (fd_ >= 0) close();
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  fd_ = fd;
  family_ = AF_UNIX;
  type_ = SOCK_DGRAM;
  const int counter = unixSocketCounter.fetch_add(1) + 1;
  const std::string ownPath =
      path != nullptr ? std::string(path)
                      : sysPath("/var/unixsock_") + std::to_string(::getpid()) + "-" +
                            std::to_string(counter);
  if (ownPath.size() > kUnixPathMaxBind || !bindUnixPath(ownPath)) {
    close();
    return 0;
  }
  return 1;
}

int Connection::connectUnix(const char* path) {
  if (path == nullptr || std::strlen(path) > kUnixPathMaxConnect) return 0;
  sockaddr_un address;
  if (!fillUnixAddress(&address, path)) return 0;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    // A refused connect means nobody serves the file: it is a leftover. Any
    // other failure may be passing, and the server's socket must survive it.
    if (errno == ECONNREFUSED && isSocketFile(path)) ::unlink(path);
    return 0;
  }
  state_ = kStateConnected;
  return 1;
}

int Connection::bindPacket(int interfaceIndex, const std::uint8_t* hardwareAddress) {
  sockaddr_ll link{};
  link.sll_family = AF_PACKET;
  link.sll_protocol = htons(kPacketProtocol);
  link.sll_ifindex = interfaceIndex;
  link.sll_halen = ETH_ALEN;
  std::memcpy(link.sll_addr, hardwareAddress, ETH_ALEN);
  static_assert(sizeof link <= InetAddr::kStorageSize, "a link-layer address fits the storage");
  local_ = InetAddr();
  std::memcpy(local_.bytes(), &link, sizeof link);
  return ::bind(fd_, reinterpret_cast<const sockaddr*>(&link), kPacketAddressLength) == 0 ? 1 : 0;
}

int Connection::interfaceIndex() const {
  // Any socket answers the request; a datagram socket needs no privilege.
  const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return 0;
  ifreq request{};
  std::strncpy(request.ifr_name, interface_ != nullptr ? interface_->deviceName() : kNoInterfaceName,
               sizeof request.ifr_name - 1);
  if (::ioctl(probe.get(), SIOCGIFINDEX, &request) != 0) return 0;
  return request.ifr_ifindex;
}

socklen_t Connection::peerLength() const {
  return family_ == AF_INET ? sizeof(sockaddr_in) : InetAddr::kStorageSize;
}
