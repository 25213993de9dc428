#pragma once
// Named handles of the parameters: network addresses, VLANs and IP filter.
// The wired network configuration: the IPv4 address and how it was obtained,
// IPv6, name resolution, the management VLAN and the 20 port VLANs, and the
// IP filter with its address and MAC rules.
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/ip4_address.h"
#include "params/ip6_address.h"
#include "params/mac_address.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct NetworkParameters {
  explicit NetworkParameters(ParamTable& table);

  // IPv4 address of the wired interface; 0.0.0.0 = not configured (address by DHCP, BOOTP or
  // link-local)
  Ip4Address* const ip_addr;
  // IPv4 net mask; also receives the class mask when an address is set without one
  Ip4Address* const ip_mask;
  // IPv4 default gateway
  Ip4Address* const ip_gate;
  // DHCP client on
  OnOffParam* const ip_dhcp;
  // BOOTP client on
  OnOffParam* const ip_bootp;
  // address last leased by DHCP or BOOTP (asked for again at the next start)
  Ip4Address* const ip_bootp_addr;
  // address by ping (adopt the destination of the first ICMP echo request) while on a
  // link-local address
  OnOffParam* const ip_auto;
  // how the current address was assigned; written by whoever sets `ip_addr`
  P3List* const ip_setby;
  // IPv6 on
  OnOffParam* const ipv6;
  // IPv6 stateless autoconfiguration and router advertisements accepted
  OnOffParam* const ipv6_auto;
  // static IPv6 address
  Ip6Address* const ipv6_addr;
  // prefix length of `ipv6_addr`
  IntParam* const ipv6_plen;
  // IPv6 default gateway
  Ip6Address* const ipv6_gate;
  // name resolution on; off: host names are not resolved
  OnOffParam* const dns;
  // DNS search domain (also the mail domain of the SMTP greeting)
  StringParam* const dns_domain;
  // first name server
  Ip4Address* const dns_primary;
  // second name server
  Ip4Address* const dns_secondary;
  // management VLAN on (the web server and the agents listen there)
  OnOffParam* const ip4vlan_mgmt;
  // VLAN id of the management VLAN
  IntParam* const ip4vlan_mgmt_id;
  // management also reachable untagged
  OnOffParam* const ip4vlan_mgmt_untag;
  // management also reachable on every port VLAN
  OnOffParam* const ip4vlan_mgmt_any;
  // port VLAN n on
  std::array<OnOffParam*, 20> const ip4vlan_on_;
  // VLAN id of port VLAN n
  std::array<IntParam*, 20> const ip4vlan_id_;
  // IPv4 address of the appliance in port VLAN n
  std::array<Ip4Address*, 20> const ip4vlan_addr_;
  // net mask in port VLAN n
  std::array<Ip4Address*, 20> const ip4vlan_mask_;
  // gateway in port VLAN n
  std::array<Ip4Address*, 20> const ip4vlan_gate_;
  // IP filter rule n on
  std::array<OnOffParam*, 8> const ip_filter_on_;
  // IP filter rule n: a dotted IPv4 pattern in which "*" stands for any octet
  std::array<StringParam*, 8> const ip_filter_;
  // MAC filter rule n on
  std::array<OnOffParam*, 8> const hw_filter_on_;
  // MAC address allowed by MAC filter rule n
  std::array<MacAddress*, 8> const hw_filter_;
  // IP filter on (accept rules and one final drop rule)
  OnOffParam* const protection;
  // what the final drop rule blocks: the USB server's ports only, all TCP, or everything
  P3List* const protection_level;
  // lock-out guard of the IP filter: "on" arms it, "test" means that the last start applied the
  // filter without confirmation (the next start switches `protection` off), "off" leaves the
  // guard out
  P3List* const protection_test;
};
