#pragma once
// The listener settings of the USB server read from the parameters at the
// moment the listeners are (re)built: the port VLANs, the management VLAN
// and the TCP segment size. The physical port count is the product's.
#include "core/stream_connection.h"

class Param;
class ParamTable;

class ParamListenerSettings : public ListenerSettings {
 public:
  ParamListenerSettings(const ParamTable& table, int usbPortCount)
      : table_(table), usbPortCount_(usbPortCount) {}

  int usbPortCount() const override { return usbPortCount_; }
  // ip4vlan_on_<n> and ip4vlan_id_<n>; off when either is absent or hidden
  VlanSwitch portVlan(int vlanIndex) const override;
  // ip4vlan_mgmt and ip4vlan_mgmt_id
  VlanSwitch managementVlan() const override;
  // tcp_maxseg
  int tcpMaxSegment() const override;

 private:
  VlanSwitch vlanSwitch(const Param* on, const Param* id) const;

  const ParamTable& table_;
  const int usbPortCount_;
};
