#pragma once
// Named handles of the parameters: time, SNMP, multicast DNS and syslog.
// The time client and time zone, the SNMP agent's access settings and system
// group texts, the multicast DNS responder and the syslog client (which no
// product offers: its parameters are always hidden).
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/ip4_address.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct TimeParameters {
  explicit TimeParameters(ParamTable& table);

  // SNTP client on
  OnOffParam* const ntp;
  // host name or address of the time server
  StringParam* const ntp_server;
  // time zone; the SNTP task builds the TZ variable from the entry
  P3List* const ntp_tzone;
  // seconds between two time requests after a successful one
  IntParam* const ntp_update;
  // multicast DNS responder on
  OnOffParam* const bonjour;
  // host and service name announced by multicast DNS; empty: formed from product and device
  // name; a name conflict stores the new name here
  StringParam* const bonjour_name;
  // SNMPv1/v2c access by community on
  OnOffParam* const snmpv1;
  // the community name
  StringParam* const snmpv1_community;
  // the community is read-only
  OnOffParam* const snmpv1_ronly;
  // SNMPv3 user access on
  OnOffParam* const snmpv3;
  // device name: SNMP sysName, DHCP host name, mail texts
  StringParam* const sys_name;
  // SNMP sysContact
  StringParam* const sys_contact;
  // written as SNMP sysLocation
  StringParam* const sys_descr;
  // syslog client on; always hidden
  OnOffParam* const syslog;
  // syslog server address; always hidden
  Ip4Address* const syslog_ipa;
  // syslog server UDP port; always hidden
  IntParam* const syslog_upo;
};
