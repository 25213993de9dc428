// The parameters: WLAN and 802.1X.
// One row per parameter or numbered family: name, default, limits or choice
// table, flag word. The table keeps them in byte order of their names, so
// the order here is free.
#include "params/parameters_wlan.h"

#include "params/param_table.h"
#include "params/product.h"

namespace {

// A flag word with neither Live nor Reconfigure asks for a restart.
constexpr uint32_t Restart = 0;

constexpr Choice wifiModeChoices[] = {
    {"infra", "Infrastructure", ""},
    {"adhoc", "Ad-Hoc", ""},
};

constexpr Choice wifiEncryptChoices[] = {
    {"---", "---", ""},
    {"WepOpen", "WEP  (Open System)", ""},
    {"WepShared", "WEP  (Shared Key)", ""},
    {"TKIP", "WPA  (TKIP)", ""},
    {"AES", "WPA  (AES)", ""},
    {"TKIP2", "WPA2 (TKIP)", ""},
    {"AES2", "WPA2 (AES)", ""},
    {"AESTKIP", "WPA  (AES/TKIP)", ""},
    {"AESTKIP2", "WPA2 (AES/TKIP)", ""},
    {"Auto", "WPA  (Auto)", ""},
};

constexpr Choice authTypChoices[] = {
    {"---", "---", ""},
    {"MD5", "MD5", ""},
    {"TLS", "TLS", ""},
    {"TTLS", "TTLS", ""},
    {"PEAP", "PEAP", ""},
    {"FAST", "FAST", ""},
};

constexpr Choice authInternChoices[] = {
    {"---", "---", ""},
    {"PAP", "PAP", ""},
    {"CHAP", "CHAP", ""},
    {"MSCHAP2", "MS-CHAPv2", ""},
    {"EMD5", "EAP-MD5", ""},
    {"ETLS", "EAP-TLS", ""},
};

constexpr Choice authExternChoices[] = {
    {"---", "---", ""},
    {"PLABEL0", "PEAPLABEL0", ""},
    {"PLABEL1", "PEAPLABEL1", ""},
    {"PVER0", "PEAPVER0", ""},
    {"PVER1", "PEAPVER1", ""},
    {"FPROV1", "FASTPROV1", ""},
};

}  // namespace

WlanParameters::WlanParameters(ParamTable& t)
    : wifi(t.add<OnOffParam>("wifi", true, Restart | FeatureWlan)),
      wifi_name(t.add<StringParam>("wifi_name", "ZOV", 0, 64, Restart | FeatureWlan)),
      wifi_mode(t.add<P3List>("wifi_mode", "adhoc", wifiModeChoices, Restart | FeatureWlan)),
      wifi_channel(t.add<IntParam>("wifi_channel", 3, 1, 14, Restart | FeatureWlan)),
      wifi_encrypt(t.add<P3List>("wifi_encrypt", "---", wifiEncryptChoices, Restart | FeatureWlan)),
      wifi_psk(t.add<StringParam>("wifi_psk", "", 0, 64, Restart | Masked | FeatureWlan)),
      wifi_wkey(t.addFamily<StringParam, 4>("wifi_wkey", "", 0, 28, Restart | FeatureWlan)),
      wifi_keyid(t.add<IntParam>("wifi_keyid", 0, 1, 4, Restart | FeatureWlan)),
      wifi_roaming(t.add<OnOffParam>("wifi_roaming", false, Restart | FeatureWlan)),
      btn_wps_pbc(t.add<OnOffParam>("btn_wps_pbc", true, Live | FeatureWlan)),
      // The system writes these two after the start-up applied the settings;
      // as restart-class values they would make the next unrelated change
      // restart the appliance, so they only ask for saving.
      wifi_onair(t.add<OnOffParam>("wifi_onair", false, Live | ReadOnly | FeatureWlan)),
      wifi_serial(t.add<StringParam>("wifi_serial", "", 0, 32, Live | ReadOnly | FeatureWlan)),
      wifi_manu(t.add<StringParam>("wifi_manu", "", 0, 64, Restart | ReadOnly | FeatureWlan)),
      wifi_speed(t.add<StringParam>("wifi_speed", "", 0, 32, Restart | ReadOnly | FeatureWlan)),
      wifi_level(t.add<IntParam>("wifi_level", 3, 0, 100, Restart | ReadOnly | FeatureWlan)),
      wifi_status(t.add<IntParam>("wifi_status", 0, 0, 256, Restart | ReadOnly | FeatureWlan)),
      auth_typ(t.add<P3List>("auth_typ", "---", authTypChoices, Restart)),
      auth_intern(t.add<P3List>("auth_intern", "---", authInternChoices, Restart)),
      auth_extern(t.add<P3List>("auth_extern", "---", authExternChoices, Restart)),
      auth_name(t.add<StringParam>("auth_name", "", 0, 64, Restart)),
      auth_pwd(t.add<StringParam>("auth_pwd", "", 0, 64, Restart)),
      auth_ano_name(t.add<StringParam>("auth_ano_name", "", 0, 64, Restart)),
      auth_wpa_addon(t.add<StringParam>("auth_wpa_addon", "", 0, 256, Restart)) {}
