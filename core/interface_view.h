#pragma once
// What a Connection needs of the network interface its socket uses: the
// device name and the addresses of the device and its VLANs. The network
// interface implements it; tests give their own.
#include "core/inet_addr.h"

class InterfaceView {
 public:
  virtual ~InterfaceView() = default;
  // the kernel name of the untagged device ("eth0")
  virtual const char* deviceName() const = 0;
  // the IPv4 address of the device, or of its VLAN device for vlanId >= 0
  virtual InetAddr address(int vlanId) const = 0;
  // the configured address of VLAN number vlanIndex (ip4vlan_addr_<n>);
  // 0.0.0.0 when there is none
  virtual InetAddr vlanAddress(int vlanIndex) const = 0;
};
