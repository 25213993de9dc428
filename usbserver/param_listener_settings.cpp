#include "usbserver/param_listener_settings.h"

#include "params/int_param.h"
#include "params/param_table.h"

VlanSwitch ParamListenerSettings::vlanSwitch(const Param* on, const Param* id) const {
  const auto* number = dynamic_cast<const IntParam*>(id);
  if (!on || !number || !on->isOn()) return {};
  return {true, static_cast<int>(number->value())};
}

VlanSwitch ParamListenerSettings::portVlan(int vlanIndex) const {
  if (vlanIndex < 1 || vlanIndex > usbPortCount_) return {};
  const auto n = static_cast<uint32_t>(vlanIndex);
  return vlanSwitch(table_.find("ip4vlan_on_", n), table_.find("ip4vlan_id_", n));
}

VlanSwitch ParamListenerSettings::managementVlan() const {
  return vlanSwitch(table_.find("ip4vlan_mgmt"), table_.find("ip4vlan_mgmt_id"));
}

int ParamListenerSettings::tcpMaxSegment() const {
  const auto* p = table_.findAs<IntParam>("tcp_maxseg");
  return p ? static_cast<int>(p->value()) : 0;
}
