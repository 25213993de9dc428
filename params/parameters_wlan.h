#pragma once
// Named handles of the parameters: WLAN and 802.1X.
// The WLAN interface and 802.1X authentication (WLAN with WPA enterprise and
// wired 802.1X). Everything beginning with wifi, and btn_wps_pbc, exists only
// on WLAN hardware.
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct WlanParameters {
  explicit WlanParameters(ParamTable& table);

  // WLAN interface in use (on WLAN hardware); hidden on the WLAN-only variants
  OnOffParam* const wifi;
  // network name (SSID)
  StringParam* const wifi_name;
  // infrastructure or ad-hoc network
  P3List* const wifi_mode;
  // channel of an ad-hoc network
  IntParam* const wifi_channel;
  // WLAN encryption and key management
  P3List* const wifi_encrypt;
  // WPA pre-shared key or pass phrase
  StringParam* const wifi_psk;
  // WEP key n
  std::array<StringParam*, 4> const wifi_wkey;
  // index of the WEP key used for sending (the default 0 lies outside the range)
  IntParam* const wifi_keyid;
  // background scanning for a better access point
  OnOffParam* const wifi_roaming;
  // the WPS push-button method may be started by the appliance's button
  OnOffParam* const btn_wps_pbc;
  // the WLAN link is up (maintained by `main`)
  OnOffParam* const wifi_onair;
  // serial number of the WLAN adapter (status page)
  StringParam* const wifi_serial;
  // WLAN adapter manufacturer; no component updates it
  StringParam* const wifi_manu;
  // link speed text; no component updates it
  StringParam* const wifi_speed;
  // signal level; no component updates it
  IntParam* const wifi_level;
  // WLAN status word; no component updates it
  IntParam* const wifi_status;
  // 802.1X authentication method (EAP type) for WLAN and wired 802.1X
  P3List* const auth_typ;
  // inner (phase 2) authentication
  P3List* const auth_intern;
  // outer (phase 1) option
  P3List* const auth_extern;
  // 802.1X identity
  StringParam* const auth_name;
  // 802.1X password
  StringParam* const auth_pwd;
  // anonymous (outer) identity
  StringParam* const auth_ano_name;
  // text appended to the supplicant's network configuration
  StringParam* const auth_wpa_addon;
};
