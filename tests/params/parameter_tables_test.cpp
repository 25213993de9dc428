// Structural checks of the parameter tables: they catch a row lost, doubled
// or mistyped in the transcription.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "params/param_classes.h"
#include "params/parameters.h"

namespace {

class ParameterTables : public ::testing::Test {
 protected:
  ParamTable table_;
  Parameters p_{table_};
};

std::string className(const Param* param) {
  if (dynamic_cast<const OnOffParam*>(param)) return "OnOffParam";
  if (dynamic_cast<const IntParam*>(param)) return "IntParam";
  if (dynamic_cast<const StringParam*>(param)) return "StringParam";
  if (dynamic_cast<const P3List*>(param)) return "P3List";
  if (dynamic_cast<const Ip6Address*>(param)) return "Ip6Address";
  if (dynamic_cast<const Ip4Address*>(param)) return "Ip4Address";
  if (dynamic_cast<const MacAddress*>(param)) return "MacAddress";
  return "?";
}

TEST_F(ParameterTables, CountsByClass) {
  EXPECT_EQ(table_.size(), 786);
  std::map<std::string, int> counts;
  int saved = 0;
  for (const Param* param : table_.getItems()) {
    ++counts[className(param)];
    saved += !param->hasFlags(RuntimeOnly);
  }
  const std::map<std::string, int> expected = {
      {"StringParam", 347}, {"OnOffParam", 178}, {"IntParam", 129}, {"Ip4Address", 69},
      {"P3List", 53},       {"MacAddress", 8},   {"Ip6Address", 2}};
  EXPECT_EQ(counts, expected);
  EXPECT_EQ(saved, 502);
}

TEST_F(ParameterTables, NamesAreUniqueInByteOrder) {
  const auto items = table_.getItems();
  for (size_t i = 1; i < items.size(); ++i) {
    EXPECT_LT(std::strcmp(items[i - 1]->name().c_str(), items[i]->name().c_str()), 0)
        << items[i - 1]->name() << " / " << items[i]->name();
  }
  auto position = [&](const char* name) {
    for (size_t i = 0; i < items.size(); ++i) {
      if (items[i]->name() == name) return static_cast<int>(i);
    }
    return -1;
  };
  const std::pair<const char*, const char*> ordered[] = {
      {"usb_slot_10", "usb_slot_2"}, {"sessKeyTimer", "sessKeys"},
      {"ip4vlan_mgmt_untag", "ip_addr"}, {"wykPortNumber", "wyk_heartbeat"},
      {"admin_cipher", "admin_hash"}, {"ip_filter_8", "ip_filter_on_1"}};
  for (const auto& [first, second] : ordered) {
    ASSERT_GE(position(first), 0) << first;
    EXPECT_LT(position(first), position(second)) << first << " / " << second;
  }
}

TEST_F(ParameterTables, EveryDefaultIsValidForItsOwnLimits) {
  std::set<std::string> refused;
  for (const Param* param : table_.getItems()) {
    if (!param->validate(param->storedText())) refused.insert(param->name());
  }
  // The only default outside its range: the WEP key index starts unset.
  EXPECT_EQ(refused, std::set<std::string>{"wifi_keyid"});
  // Masked passwords accept their empty default although 8 characters is the minimum.
  EXPECT_TRUE(p_.admin_pwd->validate(""));
  EXPECT_FALSE(p_.admin_pwd->validate("1234567"));
}

TEST_F(ParameterTables, Families) {
  struct Family { const char* prefix; int members; };
  const Family families[] = {
      {"ip4vlan_on_", 20},      {"ip4vlan_id_", 20},      {"ip4vlan_addr_", 20},
      {"ip4vlan_mask_", 20},    {"ip4vlan_gate_", 20},    {"ip_filter_on_", 8},
      {"ip_filter_", 8},        {"hw_filter_on_", 8},     {"hw_filter_", 8},
      {"wifi_wkey", 4},         {"mailto_", 2},           {"noti_dev_", 2},
      {"noti_act_", 2},         {"noti_pwr_", 2},         {"noti_lnk_", 2},
      {"noti_sdinout_", 2},     {"noti_sdunusable_", 2},  {"noti_stat_", 2},
      {"noti_pup_", 2},         {"trapto_", 2},           {"trapcommu_", 2},
      {"wyk_sec_", 20},         {"wyk_tag_", 20},         {"wyk_prereset_", 20},
      {"wyk_accctrl_", 20},     {"wyk_keyval_", 20},      {"wyk_vendprodIDs_", 20},
      {"wyk_2vlan_", 20},       {"wyk_comp_", 20},        {"wyk_poff_", 20},
      {"wyk_poffdura_", 20},    {"usb_slot_", 40},        {"usb_manu_", 40},
      {"usb_prod_", 40},        {"usb_sern_", 40},        {"usb_vendid_", 40},
      {"usb_prodid_", 40},      {"usb_owner_", 40},
  };
  int members = 0;
  for (const Family& family : families) {
    const std::string prefix = family.prefix;
    EXPECT_EQ(table_.find(prefix, 0), nullptr);
    for (int n = 1; n <= family.members; ++n) {
      EXPECT_NE(table_.find(prefix, static_cast<uint32_t>(n)), nullptr) << prefix << n;
    }
    EXPECT_EQ(table_.find(prefix, static_cast<uint32_t>(family.members + 1)), nullptr) << prefix;
    members += family.members;
  }
  EXPECT_EQ(members, 5 * 20 + 4 * 8 + 4 + 11 * 2 + 10 * 20 + 7 * 40);
  // Handles of a family hold member n at index n - 1.
  EXPECT_EQ(p_.wyk_sec_[4]->name(), "wyk_sec_5");
  EXPECT_EQ(p_.usb_owner_[39]->name(), "usb_owner_40");
  EXPECT_EQ(p_.wifi_wkey[3]->name(), "wifi_wkey4");
  EXPECT_EQ(p_.trapcommu_[1]->text(), "tolmex");
}

TEST_F(ParameterTables, ChoiceTableSizes) {
  const std::pair<const P3List*, int> tables[] = {
      {p_.admin_rights, 3},      {p_.admin_cipher, 3},     {p_.admin_hash, 2},
      {p_.sslmethod, 4},         {p_.language, 10},        {p_.ip_setby, 9},
      {p_.protection_level, 3},  {p_.protection_test, 3},  {p_.wifi_mode, 2},
      {p_.wifi_encrypt, 10},     {p_.auth_typ, 6},         {p_.auth_intern, 6},
      {p_.auth_extern, 6},       {p_.ntp_tzone, 225},      {p_.notistat_d, 8},
      {p_.wyk_accctrl_[0], 4},   {p_.relay_ctrl, 3},       {p_.relay_eve_start, 2},
      {p_.relay_eve_net, 3},     {p_.relay_eve_1pwr, 3},   {p_.relay_eve_sd, 4},
      {p_.relay_eve_ucon, 4},    {p_.relay_eve_udea, 4},
  };
  for (const auto& [list, entries] : tables) EXPECT_EQ(list->count(), entries) << list->name();
}

TEST_F(ParameterTables, TimeZones) {
  const P3List& zone = *p_.ntp_tzone;
  EXPECT_EQ(zone.index(), 88);
  EXPECT_EQ(zone.keyword(), "CET/CEST (EU)");
  EXPECT_EQ(zone.itemText(P3List::kThirdColumn | 88), "UTC+1:00 EU");
  int groups = 0;
  for (const Choice& choice : zone.choices()) {
    if (std::strcmp(choice.keyword, "optgroup") == 0) {
      ++groups;
      EXPECT_STREQ(choice.third, "");
    } else {
      EXPECT_STREQ(choice.display, choice.keyword);
    }
  }
  EXPECT_EQ(groups, 37);
  EXPECT_STREQ(zone.choices().front().display, "UTC-11:00");
  EXPECT_STREQ(zone.choices().back().keyword, "LINT");
  EXPECT_STREQ(zone.choices().back().third, "UTC+14:00");

  struct Row { const char* keyword; const char* third; };
  const Row rows[] = {
      {"EST/EDT (Canada)", "UTC-5:00 Canada"},
      {"EST", "UTC-5:00"},  // the first of three
      {"CST", "UTC-6:00"},
      {"CST (South Australia)", "UTC+9:30 South Australia"},
      {"optgroup", ""},     // the first group entry
  };
  for (const Row& row : rows) {
    const int32_t index = zone.indexOf(row.keyword);
    ASSERT_NE(index, P3List::kNone) << row.keyword;
    EXPECT_EQ(zone.itemText(P3List::kThirdColumn | index), row.third) << row.keyword;
  }
  EXPECT_EQ(zone.indexOf("optgroup"), 0);
}

TEST_F(ParameterTables, LanguagesWithoutDisplayNameShowNone) {
  const P3List& language = *p_.language;
  int none = 0;
  for (const Choice& choice : language.choices()) {
    ASSERT_NE(choice.display, nullptr);
    none += std::strcmp(choice.display, "(none)") == 0;
  }
  EXPECT_EQ(none, 7);
  EXPECT_EQ(language.itemText(P3List::kDisplayColumn | 2), "(none)");
  EXPECT_EQ(language.itemText(P3List::kThirdColumn | 2), "fr_FR.UTF-8");
  EXPECT_EQ(p_.language->set("fr"), ChangeLive);
}

TEST_F(ParameterTables, FlagWordsAndDefaults) {
  struct Row { const Param* param; uint32_t flags; const char* stored; };
  const Row rows[] = {
      {p_.wyk_accctrl_[0], 0x12002010, "---"},
      {p_.relay_eves, 0x10400021, "0"},
      {p_.ntp_tzone, 0x60000000, "CET/CEST (EU)"},
      {p_.disp_pwr, 0x100C0000, "on"},
      {p_.disp_def, 0x10040000, "DS"},
      {p_.ip_bootp_addr, 0x00000003, "0.0.0.0"},
      {p_.ip4vlan_addr_[19], 0x42002000, "192.168.0.0"},
      {p_.hw_filter_[7], 0x00000000, "00:00:00:00:00:00"},
      {p_.wifi_psk, 0x00004004, ""},
      {p_.usb_manu_[0], 0x08000021, "-"},
      {p_.debugflags, 0x10000002, "8404997"},
      {p_.wykPortNumber, 0x10000001, "5"},
      {p_.ntp_server, 0x40000000, "pool.ntp.org"},
      {p_.ipv6_gate, 0x00000000, "::"},
      {p_.smtp_auth, 0x00001000, "off"},
      {p_.noti_sdinout_[1], 0x40201000, "off"},
      {p_.wifi_level, 0x00004001, "3"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(row.param->flags(), row.flags) << row.param->name();
    EXPECT_EQ(row.param->storedText(), row.stored) << row.param->name();
  }
}

TEST_F(ParameterTables, LimitsAtTheirEdges) {
  struct Row { const char* name; std::string text; bool accepted; };
  const Row rows[] = {
      {"sessKeyTimeout", "119", false}, {"sessKeyTimeout", "120", true},
      {"sessKeyTimeout", "3601", false}, {"security", "0", false},
      {"security", "5", false},          {"security", "1", true},
      {"ipv6_plen", "65", false},        {"ipv6_plen", "0", true},
      {"ip4vlan_id_3", "0", false},      {"ip4vlan_id_3", "4095", false},
      {"ip4vlan_id_3", "4094", true},    {"wifi_channel", "14", true},
      {"wifi_channel", "15", false},     {"wifi_keyid", "0", false},
      {"wifi_keyid", "4", true},         {"wifi_wkey1", std::string(28, 'k'), true},
      {"wifi_wkey1", std::string(29, 'k'), false}, {"ntp_update", "59", false},
      {"ntp_update", "1025", false},     {"pop3_poll", "10080", true},
      {"pop3_poll", "10081", false},     {"pop3_limit", "4097", false},
      {"notistat_tm", "5", true},        {"notistat_tm", "6", false},
      {"wyk_port", "0", false},          {"wyk_sslport", "65535", true},
      {"wyk_keyval_1", std::string(65, 'k'), true},
      {"wyk_keyval_1", std::string(66, 'k'), false},
      {"wyk_2vlan_1", "21", true},       {"wyk_2vlan_1", "22", false},
      {"wyk_poffdura_1", "100", true},   {"wyk_poffdura_1", "101", false},
      {"disp_def", "E3", false},         {"disp_def", "A1", true},
      {"ntp_tzone", "optgroup", true},   {"ntp_tzone", "CET", true},
      {"ntp_tzone", "cet", false},       {"relay_eve_udea", "2", true},
      {"ip_setby", "ping", true},        {"auth_wpa_addon", std::string(256, 'a'), true},
      {"auth_wpa_addon", std::string(257, 'a'), false},
  };
  for (const Row& row : rows) {
    const Param* param = table_.find(row.name);
    ASSERT_NE(param, nullptr) << row.name;
    EXPECT_EQ(param->validate(row.text), row.accepted) << row.name << " " << row.text;
  }
  EXPECT_EQ(p_.ntp_tzone->set("CST"), ChangeReconfigure);
  EXPECT_EQ(p_.ntp_tzone->itemText(P3List::kThirdColumn | p_.ntp_tzone->index()), "UTC-6:00");
  EXPECT_EQ(p_.ntp_tzone->storedText(), "CST");
  EXPECT_EQ(p_.wyk_keyval_[0]->set("secret"), ChangeLive);
  EXPECT_EQ(p_.wyk_keyval_[0]->toText(), "****");
  EXPECT_EQ(p_.ip_setby->itemText(P3List::kDisplayColumn | 3), "ARP/PING");
}

// The WLAN state that the system records after start-up is saved but never
// turns a later, unrelated settings change into a restart.
TEST_F(ParameterTables, RecordedWlanStateAsksOnlyForSaving) {
  EXPECT_EQ(table_.resetModified(), 0);
  EXPECT_EQ(p_.wifi_onair->set("on"), ChangeLive);
  EXPECT_EQ(p_.wifi_serial->set("SN-0042"), ChangeLive);
  EXPECT_EQ(table_.resetModified(), ApplySave | ApplyAnyChange);
  EXPECT_EQ(p_.wifi_onair->flags(), 0x10004001u);
  EXPECT_EQ(p_.language->set("de"), ChangeLive);
  EXPECT_EQ(table_.resetModified(), ApplySave | ApplyAnyChange);
}

}  // namespace
