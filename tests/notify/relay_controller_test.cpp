#include "notify/relay_controller.h"

#include <vector>

#include <gtest/gtest.h>

#include "core/wall_clock.h"
#include "params/int_param.h"
#include "params/p3_list.h"
#include "params/param_table.h"

namespace {

constexpr Choice kCtrl[] = {{"fix", "", ""}, {"eve", "", ""}, {"stat", "", ""}};
constexpr Choice kStart[] = {{"off", "", ""}, {"warm", "", ""}};
constexpr Choice kNet[] = {{"off", "", ""}, {"netoff", "", ""}, {"neton", "", ""}};
constexpr Choice kPower[] = {{"off", "", ""}, {"pwroff", "", ""}, {"pwron", "", ""}};
constexpr Choice kSd[] = {{"off", "", ""}, {"sdin", "", ""}, {"sdout", "", ""}, {"sderr", "", ""}};
constexpr Choice kUsb[] = {{"off", "", ""}, {"any", "", ""}, {"1", "", ""}, {"2", "", ""}};

class RecordingRelay : public RelaySwitch {
 public:
  void setRelay(bool on) override { switches.push_back(on); }
  std::vector<bool> switches;
};

class RelayControllerTest : public ::testing::Test {
 protected:
  RelayControllerTest() {
    table.add<P3List>("relay_ctrl", "fix", kCtrl, 0);
    table.add<IntParam>("relay_eves", 0, 0);
    table.add<P3List>("relay_eve_start", "off", kStart, 0);
    for (const char* name : {"relay_eve_net", "relay_stat_net"}) table.add<P3List>(name, "off", kNet, 0);
    for (const char* name : {"relay_eve_1pwr", "relay_eve_2pwr"}) table.add<P3List>(name, "off", kPower, 0);
    table.add<P3List>("relay_eve_sd", "off", kSd, 0);
    for (const char* name : {"relay_eve_ucon", "relay_eve_udis", "relay_eve_uact", "relay_eve_udea",
                             "relay_stat_ucon", "relay_stat_udis", "relay_stat_uact",
                             "relay_stat_udea"}) {
      table.add<P3List>(name, "off", kUsb, 0);
    }
  }
  void set(const char* name, const char* value) { ASSERT_TRUE(table.find(name)->setFromText(value)) << name; }
  uint32_t word() const { return static_cast<uint32_t>(table.findAs<IntParam>("relay_eves")->value()); }

  ParamTable table;
  RecordingRelay relay;
  RelayController controller{table, relay, RelayController::kRelayFeature};
};

TEST_F(RelayControllerTest, EventModeSwitchesOnOncePerCode) {
  struct Row {
    const char* param;
    const char* setting;
    uint32_t code;
    bool switches;
  };
  const Row rows[] = {
      {"relay_eve_start", "warm", RELAY_WARM, true},
      {"relay_eve_net", "netoff", RELAY_NETOFF, true},
      {"relay_eve_net", "netoff", RELAY_NETON, false},
      {"relay_eve_net", "neton", RELAY_NETON, true},
      {"relay_eve_1pwr", "pwroff", RELAY_PWROFF_1, true},
      {"relay_eve_1pwr", "pwroff", RELAY_PWROFF_2, false},
      {"relay_eve_2pwr", "pwron", RELAY_PWRON_2, true},
      {"relay_eve_sd", "sderr", RELAY_SDERR, true},
      {"relay_eve_sd", "sdin", RELAY_SDOUT, false},
      {"relay_eve_ucon", "2", RELAY_UCON_2, true},
      {"relay_eve_ucon", "2", RELAY_UCON_1, false},
      {"relay_eve_ucon", "any", RELAY_UCON_1, true},
      {"relay_eve_udea", "1", RELAY_UDEA_1, true},
      {"relay_eve_udea", "1", RELAY_UDEA_2, false},
      {"relay_eve_uact", "off", RELAY_UACT_1, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.param) + "=" + row.setting + " code " + std::to_string(row.code));
    RecordingRelay fresh;
    RelayController eve(table, fresh, RelayController::kRelayFeature);
    set("relay_ctrl", "eve");
    table.findAs<IntParam>("relay_eves")->setValue(0);
    set(row.param, row.setting);
    const uint32_t first = eve.event(row.code);
    const uint32_t second = eve.event(row.code);
    EXPECT_EQ(fresh.switches, row.switches ? std::vector<bool>{true} : std::vector<bool>{});
    EXPECT_EQ(first, row.switches ? row.code : 0u);
    EXPECT_EQ(second, first) << "an event switches once until the word is cleared";
    set(row.param, "off");
  }
}

TEST_F(RelayControllerTest, StateModeFollowsTheLinkInBothDirections) {
  set("relay_ctrl", "stat");
  set("relay_stat_net", "neton");
  EXPECT_EQ(controller.event(RELAY_NETON), uint32_t(RELAY_NETON));
  EXPECT_EQ(controller.event(RELAY_NETON), uint32_t(RELAY_NETON));
  EXPECT_EQ(controller.event(RELAY_NETOFF), uint32_t(RELAY_NETOFF));
  EXPECT_EQ(controller.event(RELAY_NETON), uint32_t(RELAY_NETON));
  EXPECT_EQ(relay.switches, (std::vector<bool>{true, false, true}));
}

TEST_F(RelayControllerTest, StateModeUsbPortsClearTheirOpposite) {
  set("relay_ctrl", "stat");
  set("relay_stat_uact", "2");
  set("relay_stat_udea", "2");
  EXPECT_EQ(controller.event(RELAY_UACT_2), uint32_t(RELAY_UACT_2));
  EXPECT_EQ(controller.event(RELAY_UDEA_2), uint32_t(RELAY_UDEA_2));
  EXPECT_EQ(controller.event(RELAY_UACT_1), uint32_t(RELAY_UDEA_2)) << "port 1 is not chosen";
  EXPECT_EQ(relay.switches, (std::vector<bool>{true, true}));
}

TEST_F(RelayControllerTest, StateModeIgnoresPowerAndStart) {
  set("relay_ctrl", "stat");
  set("relay_eve_1pwr", "pwroff");
  EXPECT_EQ(controller.event(RELAY_PWROFF_1), 0u);
  EXPECT_EQ(controller.event(RELAY_WARM), 0u);
  EXPECT_TRUE(relay.switches.empty());
}

TEST_F(RelayControllerTest, FixModeAndMissingFeatureDoNothing) {
  set("relay_eve_net", "netoff");
  EXPECT_EQ(controller.event(RELAY_NETOFF), 0u) << "mode fix";
  RelayController absent(table, relay, 0);
  set("relay_ctrl", "eve");
  EXPECT_EQ(absent.event(RELAY_NETOFF), 0u);
  EXPECT_TRUE(relay.switches.empty());
  EXPECT_EQ(word(), 0u);
}

TEST_F(RelayControllerTest, LogStampsTicksBefore2016AndCalendarSecondsAfter) {
  set("relay_ctrl", "eve");
  set("relay_eve_start", "warm");
  setWallClockSource([] { return std::time_t(1262304000); });  // 2010-01-01
  controller.event(RELAY_WARM);
  RelayLogRecord* log = relayEventLog();
  EXPECT_EQ(log[0].code, uint32_t(RELAY_WARM));
  EXPECT_LT(log[0].time.load(), 1000000u) << "seconds since start";

  table.findAs<IntParam>("relay_eves")->setValue(0);
  setWallClockSource([] { return std::time_t(1700000000); });  // 2023
  controller.event(RELAY_WARM);
  EXPECT_EQ(log[0].time.load(), 1700000000u);
  setWallClockSource({});

  int records = 0;
  while (log[records].code) ++records;
  EXPECT_EQ(records, 18);
  EXPECT_STREQ(log[17].text, "USB device deactivated (port 2)");
}

}  // namespace
