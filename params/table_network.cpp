// The parameters: network addresses, VLANs and IP filter.
// One row per parameter or numbered family: name, default, limits or choice
// table, flag word. The table keeps them in byte order of their names, so
// the order here is free.
#include "params/parameters_network.h"

#include "params/param_table.h"
#include "params/product.h"

namespace {

// A flag word with neither Live nor Reconfigure asks for a restart.
constexpr uint32_t Restart = 0;

constexpr Choice ipSetbyChoices[] = {
    {"snmp", "SNMP", ""},
    {"bootp", "BOOTP", ""},
    {"dhcp", "DHCP", ""},
    {"ping", "ARP/PING", ""},
    {"panel", "Panel", ""},
    {"zconf", "ZeroConfig", ""},
    {"pfile", "Parameter file", ""},
    {"slp", "SLP", ""},
    {"http", "HTTP", ""},
};

constexpr Choice protectionLevelChoices[] = {
    {"protec_wyk", "WYK protection", ""},
    {"protec_tcp", "TCP protection", ""},
    {"protec_all", "Full protection", ""},
};

// The display texts of "off" and "on" are crossed; they are shown as they
// stand.
constexpr Choice protectionTestChoices[] = {
    {"off", "On", ""},
    {"on", "Off", ""},
    {"test", "Test", ""},
};

}  // namespace

NetworkParameters::NetworkParameters(ParamTable& t)
    : ip_addr(t.add<Ip4Address>("ip_addr", "0.0.0.0", Restart)),
      ip_mask(t.add<Ip4Address>("ip_mask", "255.255.255.0", Restart)),
      ip_gate(t.add<Ip4Address>("ip_gate", "0.0.0.0", Restart)),
      ip_dhcp(t.add<OnOffParam>("ip_dhcp", true, Restart)),
      ip_bootp(t.add<OnOffParam>("ip_bootp", true, Restart)),
      ip_bootp_addr(t.add<Ip4Address>("ip_bootp_addr", "0.0.0.0", Restart | ReadOnly | Internal)),
      ip_auto(t.add<OnOffParam>("ip_auto", true, Restart)),
      ip_setby(t.add<P3List>("ip_setby", "zconf", ipSetbyChoices, Restart | ReadOnly)),
      ipv6(t.add<OnOffParam>("ipv6", true, Restart)),
      ipv6_auto(t.add<OnOffParam>("ipv6_auto", true, Restart)),
      ipv6_addr(t.add<Ip6Address>("ipv6_addr", "::", Restart)),
      ipv6_plen(t.add<IntParam>("ipv6_plen", 64, 0, 64, Restart)),
      ipv6_gate(t.add<Ip6Address>("ipv6_gate", "::", Restart)),
      dns(t.add<OnOffParam>("dns", true, Reconfigure)),
      dns_domain(t.add<StringParam>("dns_domain", "", 0, 64, Reconfigure)),
      dns_primary(t.add<Ip4Address>("dns_primary", "0.0.0.0", Reconfigure)),
      dns_secondary(t.add<Ip4Address>("dns_secondary", "0.0.0.0", Reconfigure)),
      ip4vlan_mgmt(t.add<OnOffParam>("ip4vlan_mgmt", false, Reconfigure)),
      ip4vlan_mgmt_id(t.add<IntParam>("ip4vlan_mgmt_id", 1, 1, 4094, Reconfigure)),
      ip4vlan_mgmt_untag(t.add<OnOffParam>("ip4vlan_mgmt_untag", true, Reconfigure)),
      ip4vlan_mgmt_any(t.add<OnOffParam>("ip4vlan_mgmt_any", false, Reconfigure)),
      ip4vlan_on_(t.addFamily<OnOffParam, 20>("ip4vlan_on_", false, Reconfigure | PortIndexed | FeatureAccessControl)),
      ip4vlan_id_(t.addFamily<IntParam, 20>("ip4vlan_id_", 1, 1, 4094, Reconfigure | PortIndexed | FeatureAccessControl)),
      ip4vlan_addr_(t.addFamily<Ip4Address, 20>("ip4vlan_addr_", "192.168.0.0", Reconfigure | PortIndexed | FeatureAccessControl)),
      ip4vlan_mask_(t.addFamily<Ip4Address, 20>("ip4vlan_mask_", "255.255.255.0", Reconfigure | PortIndexed | FeatureAccessControl)),
      ip4vlan_gate_(t.addFamily<Ip4Address, 20>("ip4vlan_gate_", "0.0.0.0", Reconfigure | PortIndexed | FeatureAccessControl)),
      ip_filter_on_(t.addFamily<OnOffParam, 8>("ip_filter_on_", false, Restart)),
      ip_filter_(t.addFamily<StringParam, 8>("ip_filter_", "", 0, 128, Restart)),
      hw_filter_on_(t.addFamily<OnOffParam, 8>("hw_filter_on_", false, Restart)),
      hw_filter_(t.addFamily<MacAddress, 8>("hw_filter_", Restart)),
      protection(t.add<OnOffParam>("protection", false, Restart)),
      protection_level(t.add<P3List>("protection_level", "protec_wyk", protectionLevelChoices, Restart | Translated)),
      protection_test(t.add<P3List>("protection_test", "on", protectionTestChoices, Restart)) {}
