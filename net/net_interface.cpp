#include "net/net_interface.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <net/route.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/mac_addr.h"
#include "core/task_message.h"
#include "core/task_table.h"
#include "net/phy_access.h"
#include "net/vlan_driver.h"

namespace {

constexpr short kUpFlags = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_MULTICAST;  // 0x1043
constexpr int kMiiControl = 0;
constexpr int kMiiStatus = 17;
constexpr uint16_t kLinkBit = 0x400;
constexpr uint16_t kLoopbackBit = 0x4000;

std::mutex& phyLock() {
  static std::mutex lock;
  return lock;
}

void fillName(ifreq& ifr, const char* name) {
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name);
}

sockaddr_in ipv4Sockaddr(uint32_t word) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = word;
  return sa;
}

}  // namespace

NetInterface::NetInterface(PhyAccess& phy, VlanDriver& vlans, const NetBoard& board,
                           AddressIndicator* indicator)
    : phy_(phy), vlans_(vlans), board_(board), indicator_(indicator) {}

bool NetInterface::openSocket() {
  socket_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  return socket_.valid();
}

int NetInterface::requestLocked(unsigned long request, void* ifr) {
  if (!socket_.valid()) return 0;
  return ::ioctl(socket_.get(), request, ifr) == 0 ? 1 : 0;
}

int NetInterface::getFlags(short& flags, const char* device) {
  ifreq ifr;
  fillName(ifr, device ? device : name());
  std::lock_guard<std::mutex> guard(mutex_);
  if (!requestLocked(SIOCGIFFLAGS, &ifr)) return 0;
  flags = ifr.ifr_flags;
  return 1;
}

int NetInterface::setFlags(short flags, const char* device) {
  ifreq ifr;
  fillName(ifr, device ? device : name());
  ifr.ifr_flags = flags;
  std::lock_guard<std::mutex> guard(mutex_);
  return requestLocked(SIOCSIFFLAGS, &ifr);
}

bool NetInterface::isUp(const char* device, bool running) {
  short flags = 0;
  if (!getFlags(flags, device)) return false;
  const short wanted = running ? (IFF_UP | IFF_RUNNING) : IFF_UP;
  return (flags & wanted) == wanted;
}

bool NetInterface::isRunning() {
  short flags = 0;
  return getFlags(flags) && (flags & IFF_RUNNING);
}

int NetInterface::bringUp(const char* device) {
  setArpIgnore("all");
  setArpIgnore("default");
  return setFlags(kUpFlags, device);
}

int NetInterface::bringDown(const char* device) {
  short flags = 0;
  if (!getFlags(flags, device)) return 0;
  return setFlags(static_cast<short>(flags & ~IFF_UP), device);
}

int NetInterface::getAddress(InetAddr& address, const char* device, int vlanId) {
  char vlanDevice[kDeviceNameSize];
  if (!device) {
    if (vlanId < 0) {
      device = name();
    } else {
      std::snprintf(vlanDevice, sizeof vlanDevice, "%s.%d", name(), vlanId);
      device = vlanDevice;
    }
  }
  ifreq ifr;
  fillName(ifr, device);
  ifr.ifr_addr.sa_family = AF_INET;
  int ok;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ok = requestLocked(SIOCGIFADDR, &ifr);
  }
  if (ok) {
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&ifr.ifr_addr);
    address.setIpv4Word(sa->sin_addr.s_addr);
  }
  return address.isSet() ? 1 : 0;
}

int NetInterface::setAddress(const InetAddr& address, const char* device) {
  if (!device) device = name();
  InetAddr previous;
  const bool hadAddress = getAddress(previous, device) == 1;
  if (hadAddress && previous.equals(address)) return 1;

  std::lock_guard<std::mutex> guard(mutex_);
  ifreq ifr;
  fillName(ifr, device);
  sockaddr_in sa = ipv4Sockaddr(address.ipv4Word());
  std::memcpy(&ifr.ifr_addr, &sa, sizeof sa);
  if (!requestLocked(SIOCSIFADDR, &ifr)) std::perror("ioctl(SIOCSIFADDR)");
  if (!requestLocked(SIOCGIFADDR, &ifr)) std::perror("ioctl(SIOCGIFADDR)");

  if (hadAddress) {
    TaskMessage changed{0, MSG_ADDRESS_CHANGED, 0, 0};
    broadcast(&changed);
  }
  if (indicator_) {
    if (address.isSet() && !address.isLinkLocal()) {
      indicator_->signalAddressSet();
    } else {
      indicator_->signalNoAddress();
    }
  }
  return 1;
}

int NetInterface::setNetmask(const InetAddr& mask, const char* device) {
  if (!mask.hasEvenLastOctet()) return 0;
  ifreq ifr;
  fillName(ifr, device ? device : name());
  sockaddr_in sa = ipv4Sockaddr(mask.ipv4Word());
  std::memcpy(&ifr.ifr_netmask, &sa, sizeof sa);
  std::lock_guard<std::mutex> guard(mutex_);
  if (requestLocked(SIOCSIFNETMASK, &ifr)) return 1;
  std::perror("ioctl(SIOCSIFNETMASK)");
  return 0;
}

int NetInterface::getHardwareAddress(uint8_t out[6]) {
  ifreq ifr;
  fillName(ifr, name());
  std::lock_guard<std::mutex> guard(mutex_);
  if (!requestLocked(SIOCGIFHWADDR, &ifr)) return 0;
  std::memcpy(out, ifr.ifr_hwaddr.sa_data, 6);
  return 1;
}

int NetInterface::joinMulticastMac(const InetAddr& group, int vlanId) {
  ifreq ifr;
  char device[kDeviceNameSize];
  deviceName(device, vlanId, -1);
  fillName(ifr, device);
  MacAddr mac;
  mac.fromIpv4Multicast(group);
  ifr.ifr_hwaddr.sa_family = 0;
  std::memcpy(ifr.ifr_hwaddr.sa_data, mac.data(), 6);
  if (requestLocked(SIOCADDMULTI, &ifr)) return 1;
  std::perror("ioctl(SIOCADDMULTI)");
  return 0;
}

int NetInterface::addRoute(uint32_t destination, uint32_t gateway, uint32_t genmask,
                           const char* device) {
  if (!device) device = name();
  char deviceCopy[kDeviceNameSize];
  std::snprintf(deviceCopy, sizeof deviceCopy, "%s", device);
  rtentry route{};
  sockaddr_in dst = ipv4Sockaddr(destination), gw = ipv4Sockaddr(gateway),
              mask = ipv4Sockaddr(genmask);
  std::memcpy(&route.rt_dst, &dst, sizeof dst);
  std::memcpy(&route.rt_gateway, &gw, sizeof gw);
  std::memcpy(&route.rt_genmask, &mask, sizeof mask);
  route.rt_flags = RTF_UP | (gateway ? RTF_GATEWAY : 0);
  route.rt_dev = deviceCopy;
  route.rt_metric = std::strchr(deviceCopy, '.') ? 5 : 0;
  std::lock_guard<std::mutex> guard(mutex_);
  return requestLocked(SIOCADDRT, &route);
}

int NetInterface::deleteRoute(uint32_t gateway) {
  char device[kDeviceNameSize];
  std::snprintf(device, sizeof device, "%s", name());
  rtentry route{};
  sockaddr_in zero = ipv4Sockaddr(0), gw = ipv4Sockaddr(gateway);
  std::memcpy(&route.rt_dst, &zero, sizeof zero);
  std::memcpy(&route.rt_gateway, &gw, sizeof gw);
  std::memcpy(&route.rt_genmask, &zero, sizeof zero);
  route.rt_flags = RTF_UP | (gateway ? RTF_GATEWAY : 0);
  route.rt_dev = device;
  std::lock_guard<std::mutex> guard(mutex_);
  return requestLocked(SIOCDELRT, &route);
}

int NetInterface::deviceName(char* buffer, int vlanId, int alias) const {
  int length = std::snprintf(buffer, kDeviceNameSize, "%s", name());
  if (vlanId >= 0 && vlanId <= 4096 && length < kDeviceNameSize) {
    length += std::snprintf(buffer + length, kDeviceNameSize - length, ".%d", vlanId);
  }
  if (alias >= 0 && alias <= 99 && length < kDeviceNameSize) {
    length += std::snprintf(buffer + length, kDeviceNameSize - length, ":%d", alias);
  }
  return length < kDeviceNameSize ? length : kDeviceNameSize - 1;
}

int NetInterface::addVlan(int vlanId) {
  if (static_cast<unsigned>(vlanId) > 4096) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  return vlans_.add(name(), vlanId);
}

int NetInterface::removeVlan(const char* device) {
  std::lock_guard<std::mutex> guard(mutex_);
  return vlans_.remove(device);
}

int NetInterface::lastVlanRecord() const {
  const int last = board_.usbPortsPhy;
  return last < kVlanRecords - 1 ? last : kVlanRecords - 1;
}

VlanAddress NetInterface::vlanAddress(int n) const {
  std::lock_guard<std::mutex> guard(recordsMutex_);
  if (n < 0 || n >= kVlanRecords) return {};
  return records_[n];
}

int NetInterface::removeVlanAddress(int n) {
  if (n < 0 || n >= kVlanRecords) return 0;
  std::lock_guard<std::mutex> guard(recordsMutex_);
  VlanAddress& record = records_[n];
  if (record.address == 0) return 0;
  char device[kDeviceNameSize];
  deviceName(device, record.vlanId, record.alias);
  bringDown(device);
  if (record.vlanId >= 0 && record.alias < 0) removeVlan(device);
  record.address = 0;
  return 1;
}

void NetInterface::removeAllVlanAddresses() {
  for (int n = 0; n <= lastVlanRecord(); ++n) removeVlanAddress(n);
}

int NetInterface::configureVlan(int n, const InetAddr& address, const InetAddr& mask,
                                const InetAddr& gateway, int vlanId) {
  if (n < 0 || n >= kVlanRecords) return 0;
  {
    std::lock_guard<std::mutex> guard(recordsMutex_);
    const VlanAddress& record = records_[n];
    if (record.address == address.ipv4Word() && record.netmask == mask.ipv4Word() &&
        record.gateway == gateway.ipv4Word() && record.vlanId == vlanId) {
      return 0;
    }
  }
  removeVlanAddress(n);

  char device[kDeviceNameSize];
  VlanAddress record;
  {
    std::lock_guard<std::mutex> guard(recordsMutex_);
    int alias = vlanId >= 0 ? -1 : 0;
    for (int other = 0; other < kVlanRecords; ++other) {
      if (other != n && records_[other].address != 0 && records_[other].vlanId == vlanId) ++alias;
    }
    record.vlanId = vlanId;
    record.alias = alias;
    record.address = address.ipv4Word();
    record.netmask = mask.ipv4Word();
    record.gateway = gateway.ipv4Word();
    records_[n] = record;
  }
  deviceName(device, record.vlanId, record.alias);
  // A VLAN device that cannot be made still gets its address: the device may
  // have been made beforehand.
  if (record.vlanId >= 0 && record.alias < 0) {
    addVlan(record.vlanId);
    bringUp(device);
  }
  setAddress(address, device);
  setNetmask(mask, device);
  addRoute(0, record.gateway, 0, device);
  return 1;
}

bool NetInterface::linkUp(int* mask) {
  if (board_.wirelessOnly) return true;
  std::lock_guard<std::mutex> guard(phyLock());
  uint16_t status = 0;
  if (!phy_.readRegister(name(), board_.phy0Addr, kMiiStatus, status)) return false;
  int bits = 0;
  if ((status & kLinkBit) && board_.phy0Addr >= 0 && board_.phy0Addr < 32) {
    bits |= 1 << board_.phy0Addr;
  }
  if (board_.twoPhy) {
    if (!phy_.readRegister(name(), 0, kMiiStatus, status)) return false;
    if (status & kLinkBit) bits |= 1;
  }
  if (mask) *mask = bits;
  return bits != 0;
}

bool NetInterface::probePhy() {
  uint16_t first = 0, second = 0;
  const int phy = board_.phy0Addr;
  if (!phy_.readRegister(name(), phy, kMiiControl, first)) return false;
  if (!phy_.writeRegister(name(), phy, kMiiControl, first ^ kLoopbackBit)) return false;
  if (!phy_.readRegister(name(), phy, kMiiControl, second)) return false;
  if (!phy_.writeRegister(name(), phy, kMiiControl, second ^ kLoopbackBit)) return false;
  return first != second;
}

bool setArpIgnore(const char* name) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/sys/net/ipv4/conf/%s/arp_ignore", name);
  UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  return ::write(fd.get(), "1", 1) == 1;
}
