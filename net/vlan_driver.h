#pragma once
// Creation and removal of 802.1Q VLAN devices. The kernel request is
// SIOCSIFVLAN; where the kernel has no VLAN support, the simulation works with
// devices named like VLAN devices ("eth0.12") that were made beforehand.

class VlanDriver {
 public:
  virtual ~VlanDriver() = default;

  // ioctl(fd, SIOCSIFVLAN, {ADD_VLAN_CMD, parent, vid}) -> 1, or 0
  virtual int add(const char* parent, int vlanId) = 0;
  // ioctl(fd, SIOCSIFVLAN, {DEL_VLAN_CMD, device}) -> 1, or 0
  virtual int remove(const char* device) = 0;
};
