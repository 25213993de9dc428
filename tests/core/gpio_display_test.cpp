#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/gpio_requests.h"
#include "core/status_display.h"
#include "params/product.h"
#include <unistd.h>

#include "core/paths.h"
#include "sim/gpio/sim_gpio_commands.h"
#include "sim/sim_control_socket.h"
#include "tests/core/gpio_test_support.h"

namespace {

constexpr uint32_t kPanel = 20;

uint32_t textWord(char first, char dot2, char second, char dot1) {
  return uint32_t(uint8_t(first)) << 24 | uint32_t(uint8_t(dot2)) << 16 | uint32_t(uint8_t(second)) << 8 |
         uint8_t(dot1);
}

class StatusDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bench.device->open());
    ASSERT_TRUE(bench.device->start(nullptr));
  }
  StatusDisplay& display() { return bench.device->display(); }
  std::vector<SimGpioRecord> shownSince(uint64_t since) {
    std::vector<SimGpioRecord> shown;
    for (const SimGpioRecord& r : bench.driver->journal(since)) {
      if (r.request == kGpioDisplay) shown.push_back(r);
    }
    return shown;
  }
  std::string erVals() { return bench.params.disp_erVals->text(); }

  GpioBench bench{kPanel};
};

TEST_F(StatusDisplayTest, CommandWordsForDotsAndBlinkForms) {
  struct Row {
    int flags;
    uint32_t state;
    std::vector<uint32_t> words;
  } rows[] = {
      {0, 0, {textWord('E', 0, '5', 0), 0, 0, 0, 0}},
      {0x01, 0, {textWord('E', 0, '5', '.'), 0, 0, 0, 0}},
      {0x02, 0, {textWord('E', '.', '5', 0), 0, 0, 0, 0}},
      {0, 0x03, {textWord('E', '.', '5', '.'), 0, 0, 0, 0}},
      {0x20, 0, {textWord('E', 0, '5', 0), 11, 15, 1, 200}},
      {0x40, 0, {textWord('E', 0, '5', 0), 28, 31, 1, 50}},
      {0x60, 0, {textWord('E', 0, '5', 0), 28, 31, 1, 50}},
  };
  for (const Row& row : rows) {
    DisplayCommand cmd = StatusDisplay::command('E', '5', row.flags, row.state);
    std::vector<uint32_t> words{cmd.text, cmd.blinkFirst, cmd.blinkLast, cmd.blinkEnable, cmd.blinkPeriodMs};
    EXPECT_EQ(words, row.words) << "flags " << row.flags;
  }
}

TEST_F(StatusDisplayTest, ListKeepsCodesOnceAndWritesDispErVals) {
  const uint64_t before = bench.lastSequence();
  EXPECT_TRUE(display().show('E', '5', 0x24));
  EXPECT_TRUE(display().show('E', '5', 0x24));
  EXPECT_EQ(erVals(), "E5");
  EXPECT_TRUE(display().show('E', '1', 0x24));
  EXPECT_EQ(erVals(), "E5, E1");
  auto shown = shownSince(before);
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[2].words, (std::vector<uint32_t>{textWord('E', 0, '1', 0), 11, 15, 1, 200}));
  // Removing writes nothing to the display and leaves the list text.
  const uint64_t beforeRemove = bench.lastSequence();
  EXPECT_TRUE(display().show('E', '5', 0x08));
  EXPECT_TRUE(shownSince(beforeRemove).empty());
  EXPECT_EQ(erVals(), "E1");
  EXPECT_FALSE(display().show('E', '5', 0x08));
}

TEST_F(StatusDisplayTest, FullListRefusesTheNinthCodeButShowsIt) {
  const char codes[] = "ABCDEFGH";
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(display().show(codes[i], '1', 0x04));
  EXPECT_EQ(erVals(), "A1, B1, C1, D1, E1, F1, G1, H1");
  const uint64_t before = bench.lastSequence();
  EXPECT_FALSE(display().show('X', '9', 0x04));
  EXPECT_EQ(shownSince(before).size(), 1u);
  EXPECT_EQ(erVals(), "A1, B1, C1, D1, E1, F1, G1, H1");
}

TEST_F(StatusDisplayTest, LockKeepsTheRestartCode) {
  EXPECT_TRUE(display().show('E', '5', 0x24));
  EXPECT_TRUE(display().show('R', 'S', 0x30));
  EXPECT_EQ(display().state() & StatusDisplay::kLocked, StatusDisplay::kLocked);
  const uint64_t before = bench.lastSequence();
  EXPECT_TRUE(display().show('E', '1', 0x24));
  EXPECT_EQ(display().poll(), 1);
  EXPECT_TRUE(bench.driver->journal(before).empty());
  EXPECT_EQ(erVals(), "E5");
  EXPECT_EQ(bench.driver->display().text, textWord('R', 0, 'S', 0));
  EXPECT_TRUE(display().show('D', 'L', 0x30));
  EXPECT_EQ(bench.driver->display().text, textWord('D', 0, 'L', 0));
}

TEST_F(StatusDisplayTest, RotationShowsEachCodeThenTheDefault) {
  display().show('E', '5', 0x24);
  display().show('E', '2', 0x24);
  const uint32_t expected[] = {textWord('E', 0, '5', 0), textWord('E', 0, '2', 0), textWord('D', 0, 'S', 0),
                               textWord('E', 0, '5', 0)};
  for (uint32_t word : expected) {
    const uint64_t before = bench.lastSequence();
    EXPECT_EQ(display().poll(), 1);
    auto shown = shownSince(before);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].words[0], word);
  }
}

TEST_F(StatusDisplayTest, PowerInputsShowE1AndPostEventsOnChange) {
  std::vector<uint32_t> events;
  display().setPowerEventHook([&events](uint32_t word) { events.push_back(word); });
  // Both supplies present: nothing to show.
  EXPECT_EQ(display().poll(), 1);
  EXPECT_EQ(display().state(), 0u);
  bench.driver->setPowerInput(2, false);
  display().poll();
  EXPECT_EQ(display().state(), StatusDisplay::kPower2Missing);
  EXPECT_EQ(erVals(), "E1");
  EXPECT_EQ(bench.driver->display().text, textWord('E', '.', '1', 0));
  EXPECT_EQ(events, (std::vector<uint32_t>{0x1}));
  // A failed read is no power failure.
  bench.driver->failNext(kGpioInputs, 1);
  display().poll();
  EXPECT_EQ(display().state(), StatusDisplay::kPower2Missing);
  EXPECT_EQ(events.size(), 1u);
  bench.driver->setPowerInput(2, true);
  display().poll();
  EXPECT_EQ(erVals(), "");
  EXPECT_EQ(events, (std::vector<uint32_t>{0x1, 0x3}));
}

TEST(StatusDisplayFirstPoll, SupplyMissingAtStartIsShownButNotReported) {
  GpioBench bench(kPanel);
  ASSERT_TRUE(bench.device->open());
  int events = 0;
  bench.device->display().setPowerEventHook([&events](uint32_t) { ++events; });
  bench.driver->setPowerInput(1, false);
  bench.device->display().poll();
  EXPECT_EQ(bench.params.disp_erVals->text(), "E1");
  EXPECT_EQ(events, 0);
}

TEST(StatusDisplayFirstPoll, ClosedDeviceChangesNothing) {
  GpioBench bench(kPanel);
  int events = 0;
  bench.device->display().setPowerEventHook([&events](uint32_t) { ++events; });
  EXPECT_EQ(bench.device->display().poll(), 1);
  EXPECT_EQ(bench.device->display().state(), 0u);
  EXPECT_EQ(events, 0);
}

TEST(StatusDisplayOtherBoards, ShowDoesNothing) {
  GpioBench bench(0);
  ASSERT_TRUE(bench.device->open());
  EXPECT_TRUE(bench.device->display().show('E', '5', 0x24));
  EXPECT_EQ(bench.params.disp_erVals->text(), "");
  EXPECT_TRUE(bench.requests(kGpioDisplay).empty());
}

TEST_F(StatusDisplayTest, SegmentChaseSteps) {
  struct Row {
    int step;
    uint32_t segments;
  } rows[] = {{0, ~0x12001200u}, {1, ~0x0C000C00u}, {2, ~0x00C000C0u}, {3, ~0x21002100u}, {5, ~0x0C000C00u},
              {-1, 0x7FFF7FFFu}};
  for (const Row& row : rows) {
    const uint64_t before = bench.lastSequence();
    display().setSegments(row.step);
    auto issued = bench.driver->journal(before);
    ASSERT_EQ(issued.size(), 1u);
    EXPECT_EQ(issued[0].words, (std::vector<uint32_t>{0, 0, 0x7FFF7FFF, 0, 0, row.segments, 0, 0, 0}))
        << row.step;
  }
}

TEST(SimGpioCommands, DriveTheSimulatedWorld) {
  GpioBench bench(kPanel);
  SimCommandRegistry registry;
  SimGpioCommands commands(*bench.driver, registry);
  ASSERT_TRUE(bench.device->open());
  EXPECT_TRUE(registry.run("power 1 off").ok);
  EXPECT_TRUE(registry.run("card in").ok);
  uint32_t word = 0;
  ASSERT_EQ(bench.device->ioctl(kGpioInputs, &word), 0);
  EXPECT_EQ(word, 0x2u);
  ASSERT_EQ(bench.device->ioctl(kGpioCardPresence, &word), 0);
  EXPECT_EQ(word, 1u);
  EXPECT_TRUE(registry.run("fail 0x80040AAE 2").ok);
  EXPECT_EQ(bench.device->ioctl(kGpioInputs, &word), -1);
  EXPECT_EQ(bench.device->ioctl(kGpioInputs, &word), -1);
  EXPECT_EQ(bench.device->ioctl(kGpioInputs, &word), 0);
  uint64_t counter = 0;
  ASSERT_EQ(bench.device->ioctl(kGpioCounter, &counter), 0);
  EXPECT_TRUE(registry.run("gpio warp 100000").ok);
  uint64_t warped = 0;
  ASSERT_EQ(bench.device->ioctl(kGpioCounter, &warped), 0);
  EXPECT_GE(warped - counter, 100000u);
  bench.device->display().show('D', 'S', 0x01);
  SimReply state = registry.run("gpio state");
  ASSERT_TRUE(state.ok);
  EXPECT_NE(state.text.find("layout panel\n"), std::string::npos) << state.text;
  EXPECT_NE(state.text.find("display \"DS.\""), std::string::npos) << state.text;
  EXPECT_NE(state.text.find("card in\n"), std::string::npos) << state.text;
  SimReply journal = registry.run("gpio journal");
  ASSERT_TRUE(journal.ok);
  EXPECT_NE(journal.text.find(" gpio 0x80040AAE 0x00000001 -> -1\n"), std::string::npos) << journal.text;
  EXPECT_FALSE(registry.run("power 3 on").ok);
  EXPECT_FALSE(registry.run("fail").ok);
  EXPECT_FALSE(registry.run("button 0").ok);
}

}  // namespace

namespace {

TEST(SimGpioCommands, ThroughTheControlSocket) {
  GpioBench bench(kPanel);
  SimCommandRegistry registry;
  SimGpioCommands commands(*bench.driver, registry);
  SimControlSocket socket(registry);
  const std::string path = sysPath("/sim/control.sock");
  ASSERT_EQ(socket.start(path), 0);
  ASSERT_TRUE(bench.device->open());
  const int fifo = bench.device->openButton(0);
  ASSERT_GE(fifo, 0);
  SimReply reply;
  ASSERT_EQ(simControlRequest(path, "button 0 1", &reply), 0);
  EXPECT_TRUE(reply.ok) << reply.text;
  char pressed[4] = {};
  EXPECT_EQ(read(fifo, pressed, sizeof pressed), 1);
  EXPECT_EQ(pressed[0], '1');
  close(fifo);
  ASSERT_EQ(simControlRequest(path, "power 2 off", &reply), 0);
  ASSERT_EQ(simControlRequest(path, "gpio state", &reply), 0);
  EXPECT_NE(reply.text.find("inputs 0x00000001"), std::string::npos) << reply.text;
  socket.stop();
}

}  // namespace

// Only the card-reader board's driver knows the card presence request: on
// every other board port 1 is an ordinary USB port.
TEST(SimGpioDriver, CardPresenceIsAnsweredOnlyWithACardSlot) {
  for (const bool slot : {false, true}) {
    SimGpioProfile profile = simGpioProfileFor(kPanel, 4);
    profile.cardSlot = slot;
    SimGpioDriver driver(profile);
    ASSERT_TRUE(driver.open());
    uint32_t word = 7;
    EXPECT_EQ(driver.ioctl(kGpioCardPresence, &word) == 0, slot);
  }
}
