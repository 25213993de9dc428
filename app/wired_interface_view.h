#pragma once
// What the listeners see of the wired interface: its device name, the
// addresses its devices hold now, and the configured address of each VLAN.
#include "core/interface_view.h"

class NetInterface;
class ParamTable;

class WiredInterfaceView : public InterfaceView {
 public:
  WiredInterfaceView(NetInterface& wired, const ParamTable& params) : wired_(wired), params_(params) {}

  const char* deviceName() const override;
  InetAddr address(int vlanId) const override;
  InetAddr vlanAddress(int vlanIndex) const override;

 private:
  NetInterface& wired_;
  const ParamTable& params_;
};
