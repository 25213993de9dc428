#include "app/wired_interface_view.h"

#include <string>

#include "net/net_interface.h"
#include "params/ip4_address.h"
#include "params/param_table.h"

const char* WiredInterfaceView::deviceName() const { return wired_.name(); }

InetAddr WiredInterfaceView::address(int vlanId) const {
  InetAddr address;
  wired_.getAddress(address, nullptr, vlanId);
  return address;
}

InetAddr WiredInterfaceView::vlanAddress(int vlanIndex) const {
  const auto* configured = params_.findAs<Ip4Address>("ip4vlan_addr_" + std::to_string(vlanIndex));
  return configured ? configured->address() : InetAddr::ipv4(0, 0, 0, 0);
}
