#pragma once
// NetInterface: the system's handle on one Linux network device. Every
// interface, address, route, VLAN and PHY request of the system goes through
// it, and it remembers the addresses the system put on the device's VLAN
// devices and aliases.
//
// Locks: `mutex_` is held around each single kernel request and across the
// whole of setAddress (two requests, the broadcast and the LED call), so the
// order is: interface mutex, then the task-table lock, then the GPIO device
// mutex. linkUp serialises on one process-wide PHY lock of its own; probePhy
// and joinMulticastMac take no lock. `records_` is guarded by `recordsMutex_`,
// taken before the interface mutex and never while it is held.
#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/inet_addr.h"
#include "core/unique_fd.h"

class PhyAccess;
class VlanDriver;

// The product facts the interface depends on.
struct NetBoard {
  int phy0Addr = 0;        // MII address of the board's PHY
  int usbPortsPhy = 0;     // VLAN slots in use (records 0..usbPortsPhy)
  bool wirelessOnly = false;  // the link is always reported up, without a mask
  bool twoPhy = false;        // a second PHY at address 0 adds bit 0 to the mask
};

// The status LED's answer to address changes (the GPIO device).
class AddressIndicator {
 public:
  virtual ~AddressIndicator() = default;
  virtual void signalAddressSet() = 0;
  virtual void signalNoAddress() = 0;
};

// One address the system configured on a VLAN device or alias.
struct VlanAddress {
  uint32_t address = 0;  // network order; 0: the record is free
  uint32_t netmask = 0;
  uint32_t gateway = 0;  // default gateway of this device, 0 for none
  int vlanId = 0;        // negative: untagged (the interface device itself)
  int alias = -1;        // -1: on the VLAN device itself; k >= 0: on ":k"
};

class NetInterface {
 public:
  static constexpr int kVlanRecords = 21;
  static constexpr int kDeviceNameSize = 16;

  // The indicator may be null (no LED signalling).
  NetInterface(PhyAccess& phy, VlanDriver& vlans, const NetBoard& board,
               AddressIndicator* indicator = nullptr);
  NetInterface(const NetInterface&) = delete;
  NetInterface& operator=(const NetInterface&) = delete;

  void setName(const std::string& name) { name_ = name; }
  const char* name() const { return name_.c_str(); }
  const NetBoard& board() const { return board_; }

  // socket(AF_INET, SOCK_DGRAM, 0)
  bool openSocket();
  void closeSocket() { socket_.reset(); }

  // A null device means the interface's own device.
  int getFlags(short& flags, const char* device = nullptr);   // SIOCGIFFLAGS
  int setFlags(short flags, const char* device = nullptr);    // SIOCSIFFLAGS
  bool isUp(const char* device = nullptr, bool running = false);
  bool isRunning();
  int bringUp(const char* device = nullptr);
  int bringDown(const char* device = nullptr);

  // SIOCGIFADDR of `device`, or of the interface device (vlanId < 0) or its
  // VLAN device "%s.%d"; returns address.isSet() afterwards.
  int getAddress(InetAddr& address, const char* device = nullptr, int vlanId = -1);
  int setAddress(const InetAddr& address, const char* device = nullptr);  // always 1
  int setNetmask(const InetAddr& mask, const char* device = nullptr);      // SIOCSIFNETMASK
  int getHardwareAddress(uint8_t out[6]);                                  // SIOCGIFHWADDR
  int joinMulticastMac(const InetAddr& group, int vlanId = -1);            // SIOCADDMULTI

  // SIOCADDRT / SIOCDELRT; addresses are IPv4 words in network order.
  int addRoute(uint32_t destination, uint32_t gateway, uint32_t genmask,
               const char* device = nullptr);
  int deleteRoute(uint32_t gateway);

  // "eth0", "eth0.12", "eth0.12:0", "eth0:1"; returns the length.
  int deviceName(char* buffer, int vlanId, int alias) const;
  int addVlan(int vlanId);
  int removeVlan(const char* device);
  int configureVlan(int n, const InetAddr& address, const InetAddr& mask, const InetAddr& gateway,
                    int vlanId);
  int removeVlanAddress(int n);
  void removeAllVlanAddresses();
  VlanAddress vlanAddress(int n) const;

  // Link bits from the PHY registers; true when any bit is set.
  bool linkUp(int* mask = nullptr);
  bool probePhy();

 private:
  int requestLocked(unsigned long request, void* ifr);
  int lastVlanRecord() const;

  PhyAccess& phy_;
  VlanDriver& vlans_;
  NetBoard board_;
  AddressIndicator* indicator_;
  std::string name_;
  UniqueFd socket_;
  std::mutex mutex_;
  mutable std::mutex recordsMutex_;
  std::array<VlanAddress, kVlanRecords> records_{};
};

// Writes '1' into /proc/sys/net/ipv4/conf/NAME/arp_ignore; true when written.
bool setArpIgnore(const char* name);
