#include "app/supervisor.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "notify/relay_controller.h"

namespace {

class FakePort : public SupervisorPort {
 public:
  int taskCount() override { return tasks; }
  int shutdowns() override { return stops; }
  int64_t stopStamp() override { return stamp; }
  int wiredLinkMask() override { return mask; }
  bool wiredLinkUp() override { return mask != 0; }
  bool readPowerInputs(uint32_t& word) override {
    word = power;
    return powerReadable;
  }
  bool readCardPresence(bool& present) override {
    present = card;
    return true;
  }
  int cpuLoadPoll() override { return loadPoll; }
  bool beepOnLinkLoss() override { return beepLnk; }
  bool relayFollowsEvents() override { return relayEve; }
  void sampleLoad() override { log.push_back("load"); }
  void pollDisplay() override { log.push_back("display"); }
  void linkChanged(int m, bool good) override {
    log.push_back("link " + std::to_string(m) + (good ? " good" : " bad"));
  }
  void beep() override { log.push_back("beep"); }
  void relayEvent(uint32_t code) override { log.push_back("relay " + std::to_string(code)); }
  void cardChanged(bool present) override { log.push_back(present ? "card in" : "card out"); }
  void showCard(bool) override {}
  void requestStop() override { ++stops; }
  void startShutDown() override { log.push_back("shutdown"); }
  void restorePortPower() override {}

  int tasks = 3;
  int stops = 0;
  int64_t stamp = 0;
  int mask = 0x10;
  uint32_t power = 0;
  bool powerReadable = true;
  bool card = false;
  int loadPoll = 0;
  bool beepLnk = false;
  bool relayEve = false;
  std::vector<std::string> log;
};

TEST(Supervisor, EndsWithoutTasksOrFiveSecondsAfterAStopSignal) {
  FakePort port;
  Supervisor supervisor(port, {}, 0);
  EXPECT_TRUE(supervisor.pass(10));
  port.stamp = 100;
  EXPECT_TRUE(supervisor.pass(599));
  EXPECT_FALSE(supervisor.pass(600));

  FakePort empty;
  empty.tasks = 0;
  Supervisor idle(empty, {}, 0);
  EXPECT_FALSE(idle.pass(10));
}

TEST(Supervisor, StartsOneShutDownForAnyNumberOfStops) {
  FakePort port;
  Supervisor supervisor(port, {}, 0);
  port.stops = 1;
  supervisor.pass(10);
  port.stops = 3;
  supervisor.pass(20);
  supervisor.pass(30);
  EXPECT_EQ(port.log, std::vector<std::string>{"shutdown"});
}

TEST(Supervisor, SecondPassRunsAfter101Ticks) {
  FakePort port;
  port.loadPoll = 2;
  Supervisor supervisor(port, {}, 0);
  supervisor.pass(100);
  EXPECT_TRUE(port.log.empty());
  supervisor.pass(101);  // load sampled at once, display every other pass
  supervisor.pass(202);
  supervisor.pass(303);
  supervisor.pass(404);
  EXPECT_EQ(port.log, (std::vector<std::string>{"load", "display", "load", "display"}));
}

TEST(Supervisor, LinkChangesReportOnceAndBeepWhileBad) {
  struct Row { const char* what; SupervisorConfig config; std::vector<int> masks; std::vector<std::string> log; };
  SupervisorConfig twoPhy;
  twoPhy.twoPhy = true;
  twoPhy.goodLinkMask = 0x11;
  const Row rows[] = {
      {"single PHY healthy", {}, {0x10, 0x10}, {}},
      {"single PHY pull and return", {}, {0, 0, 0x10},
       {"link 0 bad", "relay 2", "beep", "beep", "link 16 good", "relay 4"}},
      {"two PHYs, one lost", twoPhy, {0x01}, {"link 1 bad", "relay 4", "beep"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakePort port;
    port.beepLnk = true;
    Supervisor supervisor(port, row.config, 0);
    int64_t now = 0;
    for (int mask : row.masks) {
      port.mask = mask;
      now += 101;
      supervisor.pass(now);
    }
    std::vector<std::string> relevant;
    for (const auto& line : port.log) if (line != "display") relevant.push_back(line);
    EXPECT_EQ(relevant, row.log);
  }
}

TEST(Supervisor, PowerInputsSwitchTheRelayOnlyInEventMode) {
  FakePort port;
  Supervisor supervisor(port, {}, 0);
  port.power = 0x3;
  supervisor.pass(101);
  EXPECT_TRUE(port.log.empty()) << "relay not in event mode";

  port.relayEve = true;
  supervisor.pass(202);
  port.power = 0x2;
  supervisor.pass(303);
  port.powerReadable = false;  // a refused read is no power failure
  port.power = 0;
  supervisor.pass(404);
  std::vector<std::string> relays;
  for (const auto& line : port.log) if (line.rfind("relay", 0) == 0) relays.push_back(line);
  EXPECT_EQ(relays, (std::vector<std::string>{"relay 16", "relay 32", "relay 64"}));
}

TEST(Supervisor, CardReaderSlotFollowsPresence) {
  FakePort port;
  SupervisorConfig config;
  config.cardReader = true;
  Supervisor supervisor(port, config, 0);
  port.card = true;
  supervisor.pass(101);
  supervisor.pass(202);
  port.card = false;
  supervisor.pass(303);
  std::vector<std::string> cards;
  for (const auto& line : port.log) if (line.rfind("card", 0) == 0) cards.push_back(line);
  EXPECT_EQ(cards, (std::vector<std::string>{"card in", "card out"}));
}

TEST(Supervisor, ALostWiredLinkOnWlanHardwareRequestsARestart) {
  FakePort port;
  SupervisorConfig config;
  config.watchWiredLink = true;
  config.wiredChosen = true;
  Supervisor supervisor(port, config, 0);
  port.mask = 0;
  supervisor.pass(101);
  EXPECT_EQ(port.stops, 1);
}

}  // namespace
