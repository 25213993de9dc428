// The registry: order, lookup, listing and applying changes with their
// hardware effects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "fake_param_effects.h"
#include "params/param_classes.h"

namespace {

using Journal = std::vector<std::string>;

const Choice kRelayModes[] = {{"fix", "fixed", ""}, {"eve", "events", ""}, {"stat", "status", ""}};
const Choice kLanguages[] = {{"en", "English", "en_EN.UTF-8"}, {"de", "Deutsch", "de_DE.UTF-8"}};

TEST(ParamTableTest, KeepsByteOrderOfNames) {
  ParamTable t;
  for (const char* name : {"wyk_port", "usb_slot_2", "sessKeys", "ip_addr", "usb_slot_10",
                           "wykPortNumber", "sessKeyTimer", "ip4vlan_mgmt", "Zeta", "1st", "_x"})
    t.add<IntParam>(name, 0, Live);
  std::vector<std::string> names;
  for (const Param* p : t.getItems()) names.push_back(p->name());
  const std::vector<std::string> expected = {"1st",         "Zeta",       "_x",
                                             "ip4vlan_mgmt", "ip_addr",    "sessKeyTimer",
                                             "sessKeys",    "usb_slot_10", "usb_slot_2",
                                             "wykPortNumber", "wyk_port"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(t.size(), 11);
}

TEST(ParamTableTest, FamilyMembersAreNumberedFromOne) {
  ParamTable t;
  auto slots = t.addFamily<StringParam, 40>("usb_slot_", "-", 0, 64, ReadOnly | RuntimeOnly | SlotIndexed);
  auto keys = t.addFamily<StringParam, 4>("wifi_wkey", "", 0, 28, 0x4000);
  EXPECT_EQ(slots[0]->name(), "usb_slot_1");
  EXPECT_EQ(slots[39]->name(), "usb_slot_40");
  EXPECT_EQ(keys[3]->name(), "wifi_wkey4");
  EXPECT_EQ(t.size(), 44);
  EXPECT_EQ(slots[0]->storedText(), "-");
}

TEST(ParamTableTest, DuplicateNamesAreAProgrammingError) {
  EXPECT_DEATH(
      {
        ParamTable t;
        t.add<IntParam>("life", 0, Live);
        t.add<OnOffParam>("life", false, Live);
      },
      "duplicate parameter life");
}

class ParamLookupTest : public testing::Test {
 protected:
  ParamLookupTest() {
    slots = t.addFamily<StringParam, 40>("usb_slot_", "-", 0, 64, RuntimeOnly | SlotIndexed);
    filters = t.addFamily<MacAddress, 8>("hw_filter_", Reconfigure);
    t.add<IntParam>("life", 1, ReadOnly | Live);
    t.add<P3List>("language", "en", kLanguages, Internal | Live);
    syslog = t.add<OnOffParam>("syslog", false, Hidden | Reconfigure);
    t.add<IntParam>("wyk_port", 9200, 1, 65535, Reconfigure);
  }
  ParamTable t;
  std::array<StringParam*, 40> slots;
  std::array<MacAddress*, 8> filters;
  OnOffParam* syslog;
};

TEST_F(ParamLookupTest, FindExactAndByFamily) {
  const std::string longName(61, 'a');
  const struct {
    std::string_view name;
    uint32_t index;
    const char* found;  // null: none
  } cases[] = {
      {"wyk_port", ParamTable::kExact, "wyk_port"},
      {"wyk_portX", ParamTable::kExact, nullptr},
      {"wyk_por", ParamTable::kExact, nullptr},
      {"usb_slot_", 12, "usb_slot_12"},
      {"usb_slot_", 0, nullptr},
      {"usb_slot_", 41, nullptr},
      {"usb_slot_", 0x10003, "usb_slot_3"},  // only the low 16 bits count
      {"usb_slot_12", ParamTable::kExact, "usb_slot_12"},
      {"hw_filter_", 8, "hw_filter_8"},
      {"syslog", ParamTable::kExact, nullptr},  // hidden
      {longName, ParamTable::kExact, nullptr},
      {std::string_view("wyk_portXYZ", 8), ParamTable::kExact, "wyk_port"},
      {"", ParamTable::kExact, nullptr},
  };
  for (const auto& c : cases) {
    const Param* p = t.find(c.name, c.index);
    if (c.found) {
      ASSERT_NE(p, nullptr) << c.name << " " << c.index;
      EXPECT_EQ(p->name(), c.found);
    } else {
      EXPECT_EQ(p, nullptr) << c.name << " " << c.index;
    }
  }
  EXPECT_EQ(t.findAs<MacAddress>("hw_filter_", 2), filters[1]);
  EXPECT_EQ(t.findAs<IntParam>("hw_filter_", 2), nullptr);
  syslog->clearFlags(Hidden);
  EXPECT_EQ(t.find("syslog"), syslog);
}

TEST_F(ParamLookupTest, CountsAndListsVisibleParameters) {
  // 40 slots + 8 filters + life + language + wyk_port visible; syslog hidden.
  EXPECT_EQ(t.countVisible(0), 51);
  EXPECT_EQ(t.countVisible(ReadOnly | Internal), 49);
  EXPECT_EQ(t.countVisible(RuntimeOnly), 11);
  std::vector<std::string> listed;
  for (int n = 0;; ++n) {
    const Param* p = t.nthVisible(n, ReadOnly | Internal | RuntimeOnly);
    if (!p) break;
    listed.push_back(p->name());
  }
  const std::vector<std::string> expected = {"hw_filter_1", "hw_filter_2", "hw_filter_3",
                                             "hw_filter_4", "hw_filter_5", "hw_filter_6",
                                             "hw_filter_7", "hw_filter_8", "wyk_port"};
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(t.nthVisible(-1, 0), nullptr);
  EXPECT_EQ(t.nthVisible(t.size(), 0), nullptr);
  EXPECT_EQ(t.nthVisible(0, 0)->name(), "hw_filter_1");
}

TEST_F(ParamLookupTest, HighestIndexSkipsHiddenAndInternal) {
  EXPECT_EQ(t.highestIndex("usb_slot_"), 40);
  EXPECT_EQ(t.highestIndex("HW_FILTER_"), 8) << "the prefix ignores letter case";
  for (int n = 6; n <= 8; ++n) filters[n - 1]->addFlags(Hidden);
  EXPECT_EQ(t.highestIndex("hw_filter_"), 5);
  filters[4]->addFlags(Internal);
  EXPECT_EQ(t.highestIndex("hw_filter_"), 4);
  EXPECT_EQ(t.highestIndex("ip_filter_"), 0);
  EXPECT_EQ(t.highestIndex("wyk_port"), 0) << "a name without a number counts as 0";
}

class ResetModifiedTest : public testing::Test {
 protected:
  ResetModifiedTest() {
    t.setEffects(&effects);
    t.setUsbPortCount(4);
    wyk_port = t.add<IntParam>("wyk_port", 9200, 1, 65535, Reconfigure);
    language = t.add<P3List>("language", "en", kLanguages, Internal | Live);
    life = t.add<IntParam>("life", 1, RuntimeOnly | ReadOnly | Live);
    ip_gate = t.add<Ip4Address>("ip_gate", "0.0.0.0", 0);
    syslog = t.add<OnOffParam>("syslog", false, Hidden | Reconfigure);
    poff = t.addFamily<OnOffParam, 6>("wyk_poff_", false, Live | PortIndexed | 0x8000);
    relay_ctrl = t.add<P3List>("relay_ctrl", "fix", kRelayModes, Live | 0x400000);
    relay_on = t.add<OnOffParam>("relay_on", true, Live | 0x400000);
    relay_eves = t.add<IntParam>("relay_eves", 0, 0x10400021);
    relay_eve = t.addFamily<OnOffParam, 3>("relay_eve_", false, Live | 0x400000);
    relay_stat = t.addFamily<OnOffParam, 3>("relay_stat_", false, Live | 0x400000);
    disp_def = t.add<StringParam>("disp_def", "DS", 2, 2, Live | 0x40000, isDisplayCode);
    disp_pwr = t.add<OnOffParam>("disp_pwr", false, 0x100C0000);
    disp_lnk = t.add<OnOffParam>("disp_lnk", false, 0x100C0000);
    disp_sdc = t.add<OnOffParam>("disp_sdc", false, 0x10240000);
  }
  FakeParamEffects effects;
  ParamTable t;
  IntParam* wyk_port;
  P3List* language;
  IntParam* life;
  Ip4Address* ip_gate;
  OnOffParam* syslog;
  std::array<OnOffParam*, 6> poff;
  P3List* relay_ctrl;
  OnOffParam* relay_on;
  IntParam* relay_eves;
  std::array<OnOffParam*, 3> relay_eve;
  std::array<OnOffParam*, 3> relay_stat;
  StringParam* disp_def;
  OnOffParam* disp_pwr;
  OnOffParam* disp_lnk;
  OnOffParam* disp_sdc;
};

TEST_F(ResetModifiedTest, ResultBitsByChangeClass) {
  EXPECT_EQ(t.resetModified(), 0);
  wyk_port->set("9300");
  language->set("de");
  EXPECT_EQ(t.resetModified(), 0x83);
  EXPECT_EQ(t.resetModified(), 0);
  life->set("2");
  EXPECT_EQ(t.resetModified(), 0x80);
  syslog->set("on");
  EXPECT_EQ(t.resetModified(), 0x80) << "hidden changes are only counted";
  ip_gate->set("10.0.0.1");
  EXPECT_EQ(t.resetModified(), 0x85);
  wyk_port->set("9400");
  ip_gate->set("10.0.0.2");
  EXPECT_EQ(t.resetModified(), 0x83 | 0x04);
  EXPECT_TRUE(effects.journal.empty()) << "none of these touch the hardware";
}

TEST_F(ResetModifiedTest, PortPowerWithinThePhysicalPorts) {
  poff[1]->set("on");
  poff[4]->set("on");  // port 5 of 4
  EXPECT_EQ(t.resetModified(), 0x81);
  EXPECT_EQ(effects.journal, Journal({"power 1 off"}));
  effects.journal.clear();
  poff[1]->set("off");
  poff[0]->setValue(1);
  poff[0]->setValue(0);  // changed and back: still marked, applied once
  t.resetModified();
  EXPECT_EQ(effects.journal, Journal({"power 0 on", "power 1 on"}));
}

TEST_F(ResetModifiedTest, PortPowerNeedsTheFeatureBit) {
  OnOffParam* other = t.add<OnOffParam>("wyk_poffx", false, Live);
  auto plain = t.addFamily<OnOffParam, 1>("wyk_poff_z", false, Live);
  other->set("on");
  plain[0]->set("on");
  t.resetModified();
  EXPECT_TRUE(effects.journal.empty());
}

TEST_F(ResetModifiedTest, RelayFollowsItsMode) {
  const struct {
    const char* mode;              // relay_ctrl before
    std::function<void()> change;  // what a setter does
    Journal journal;
  } cases[] = {
      {"fix", [&] { relay_ctrl->set("eve"); }, {"relay off"}},
      {"eve", [&] { relay_ctrl->set("fix"); }, {"relay on"}},
      {"fix", [&] { relay_on->set("off"); }, {"relay off"}},
      {"eve", [&] { relay_on->set("off"); }, {}},
      {"eve", [&] { relay_eve[1]->set("on"); }, {"relay off"}},
      {"eve", [&] { relay_stat[1]->set("on"); }, {}},
      {"stat", [&] { relay_stat[2]->set("on"); }, {"relay off"}},
      {"stat", [&] { relay_eve[0]->set("on"); }, {}},
      {"fix", [&] { relay_eve[0]->set("on"); }, {}},
  };
  for (const auto& c : cases) {
    relay_ctrl->set(c.mode);
    relay_on->set("on");
    for (auto* p : relay_eve) p->set("off");
    for (auto* p : relay_stat) p->set("off");
    t.resetModified();
    effects.journal.clear();
    relay_eves->setValue(0x55);
    c.change();
    t.resetModified();
    EXPECT_EQ(effects.journal, c.journal) << c.mode;
  }
}

TEST_F(ResetModifiedTest, RelayModeChangeClearsTheEventWord) {
  relay_eves->setValue(0x12);
  relay_ctrl->set("eve");
  EXPECT_EQ(t.resetModified(), 0x81);
  EXPECT_EQ(relay_eves->value(), 0);
  EXPECT_FALSE(relay_eves->isModified());
  EXPECT_EQ(effects.journal, Journal({"relay off"}));
}

TEST_F(ResetModifiedTest, DisplayCodes) {
  const struct {
    const char* what;
    std::function<void()> setup;
    std::function<void()> change;
    Journal journal;
  } cases[] = {
      {"default code", [] {}, [&] { disp_def->set("A1"); }, {"show A1 0x0"}},
      {"power on, inputs missing", [&] { effects.state = 3; }, [&] { disp_pwr->set("on"); },
       {"show E1 0x27"}},
      {"power on, all well", [&] { effects.state = 0; }, [&] { disp_pwr->set("on"); }, {}},
      {"power off", [&] { disp_pwr->setValue(1); }, [&] { disp_pwr->set("off"); }, {"show E1 0x8"}},
      {"link on, one PHY down", [&] { effects.linkMask = 1; }, [&] { disp_lnk->set("on"); },
       {"show E5 0x24"}},
      {"link on, both up", [&] { effects.linkMask = 17; }, [&] { disp_lnk->set("on"); }, {}},
      {"link off", [&] { disp_lnk->setValue(1); }, [&] { disp_lnk->set("off"); }, {"show E5 0x8"}},
      {"card none", [&] { effects.cardState = 0; }, [&] { disp_sdc->set("on"); }, {"show E4 0x24"}},
      {"card unusable", [&] { effects.cardState = 1; }, [&] { disp_sdc->set("on"); },
       {"show E2 0x24"}},
      {"card protected", [&] { effects.cardState = 2; }, [&] { disp_sdc->set("on"); },
       {"show E3 0x24"}},
      {"card usable", [&] { effects.cardState = 3; }, [&] { disp_sdc->set("on"); }, {}},
      {"card off", [&] { disp_sdc->setValue(1); }, [&] { disp_sdc->set("off"); },
       {"show E2 0x8", "show E3 0x8", "show E4 0x8"}},
      {"no display", [&] { effects.display = false; }, [&] { disp_def->set("B2"); }, {}},
  };
  for (const auto& c : cases) {
    effects = FakeParamEffects();
    disp_pwr->setValue(0);
    disp_lnk->setValue(0);
    disp_sdc->setValue(0);
    c.setup();
    t.resetModified();
    effects.journal.clear();
    c.change();
    t.resetModified();
    EXPECT_EQ(effects.journal, c.journal) << c.what;
  }
}

TEST_F(ResetModifiedTest, WithoutEffectsOnlyTheBitsCount) {
  t.setEffects(nullptr);
  poff[0]->set("on");
  relay_ctrl->set("eve");
  disp_def->set("A2");
  EXPECT_EQ(t.resetModified(), 0x81);
  EXPECT_TRUE(effects.journal.empty());
}

}  // namespace
