#pragma once
// Named handles of the parameters: system, users and web access.
// The two user accounts (web login and SNMPv3 users), the web login sessions,
// TLS settings, the user interface language and the general status and
// diagnostic values.
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct SystemParameters {
  explicit SystemParameters(ParamTable& table);

  // administrator's user name: web login with access level 3, SNMPv3 user
  StringParam* const admin_name;
  // administrator's password (web login; SNMPv3 authentication password)
  StringParam* const admin_pwd;
  // SNMPv3 authentication hash of the administrator
  P3List* const admin_hash;
  // SNMPv3 privacy cipher of the administrator ("---" = no privacy)
  P3List* const admin_cipher;
  // SNMPv3 privacy pass phrase of the administrator
  StringParam* const admin_passphrase;
  // SNMPv3 access of the administrator ("---" = no SNMPv3 user)
  P3List* const admin_rights;
  // user name of the ordinary user: web login with access level 2, SNMPv3 user
  StringParam* const any_name;
  // password of the ordinary user
  StringParam* const any_pwd;
  // SNMPv3 authentication hash of the user
  P3List* const any_hash;
  // SNMPv3 privacy cipher of the user
  P3List* const any_cipher;
  // SNMPv3 privacy pass phrase of the user
  StringParam* const any_passphrase;
  // SNMPv3 access of the user
  P3List* const any_rights;
  // login sessions of the web interface; off: every request has administrator rights
  OnOffParam* const sessKeys;
  // end idle sessions after `sessKeyTimeout`
  OnOffParam* const sessKeyTimer;
  // idle time of a session in seconds
  IntParam* const sessKeyTimeout;
  // session list switch; read by name only (templates, SNMP, the parameter file)
  OnOffParam* const sessKeyUList;
  // security level that selects the TLS cipher list
  IntParam* const security;
  // TLS protocol version of every TLS session (flexible, or fixed TLS 1.0, 1.1, 1.2)
  P3List* const sslmethod;
  // plain HTTP allowed; off: plain requests are redirected to HTTPS when a server key exists
  OnOffParam* const http_allowed;
  // language of the web interface and of every translated text; the third column names the
  // locale
  P3List* const language;
  // number of starts of the process (counted by `main`)
  IntParam* const life;
  // a diagnostic word; it is saved and listed like any setting, and no component acts on its
  // value
  IntParam* const debugflags;
  // seconds between two system-load samples taken by `main`; 0 takes none
  IntParam* const cpuLoadPoll;
  // hour of the daily restart (0 to 23; 24 = never); hidden on products with fewer than 8 USB
  // ports
  IntParam* const dailyrestart;
  // TCP maximum segment size of the USB server's sockets
  IntParam* const tcp_maxseg;
  // button presses counted by the button task
  IntParam* const button_cnt;
  // feature word
  IntParam* const sw_features;
  // number of USB device ports of the product
  IntParam* const wykPortNumber;
};
