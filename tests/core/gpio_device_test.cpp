#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/gpio_requests.h"
#include "core/run_state.h"
#include "params/product.h"
#include "tests/core/gpio_test_support.h"

namespace {

constexpr uint32_t kPanel = 20, kSingle = 30, kPaired = 40, kPairedLedOneBitOne = 43, kShifted = 50,
                   kPortLed = 0;

struct LedRow {
  uint32_t project;
  int index, colour, rate;
  unsigned long request;          // 0: the call fails and issues nothing
  std::vector<uint32_t> words;    // LedPattern or LedConfig words
};

class GpioLedTable : public ::testing::TestWithParam<LedRow> {};

TEST_P(GpioLedTable, IssuesTheExactRequestWords) {
  const LedRow& row = GetParam();
  GpioBench bench(row.project);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  const uint64_t before = bench.lastSequence();
  EXPECT_EQ(bench.device->setLed(row.index, row.colour, row.rate), row.request != 0);
  auto issued = bench.driver->journal(before);
  if (row.request == 0) {
    EXPECT_TRUE(issued.empty());
    return;
  }
  ASSERT_EQ(issued.size(), 1u);
  EXPECT_EQ(issued[0].request, row.request);
  EXPECT_EQ(issued[0].words, row.words);
  EXPECT_EQ(issued[0].result, 0);
}

constexpr unsigned long P = kGpioLedPattern;
constexpr unsigned long C = kGpioLedConfig;

INSTANTIATE_TEST_SUITE_P(
    Layouts, GpioLedTable,
    ::testing::Values(
        // paired-LED board: LED i on bits 2i and 2i+1
        LedRow{kPaired, 2, 1, 0, P, {0x30, 0x10, 0, 0, 0}}, LedRow{kPaired, 2, 1, 5, P, {0x10, 1, 3, 1, 200}},
        LedRow{kPaired, 2, 2, 4, P, {0x20, 1, 3, 1, 250}}, LedRow{kPaired, 2, 3, 0, P, {0x30, 0x30, 0, 0, 0}},
        LedRow{kPaired, 2, 0, 0, P, {0x30, 0, 0, 0, 0}}, LedRow{kPaired, 2, 3, 1, P, {0x30, 1, 3, 1, 1000}},
        LedRow{kPaired, 2, 4, 0, 0, {}}, LedRow{kPaired, -1, 1, 0, 0, {}},
        LedRow{kPaired, 15, 2, 0, P, {0xC0000000, 0x80000000, 0, 0, 0}},
        LedRow{kPaired, 16, 1, 0, 0, {}},  // past bit 31
        LedRow{kPairedLedOneBitOne, 1, 1, 0, P, {0xA, 0x2, 0, 0, 0}},
        LedRow{kPairedLedOneBitOne, 2, 1, 0, P, {0x30, 0x10, 0, 0, 0}},
        // shifted paired-LED board: index i+1
        LedRow{kShifted, 0, 1, 0, P, {0xC, 0x4, 0, 0, 0}}, LedRow{kShifted, 1, 2, 0, P, {0x30, 0x20, 0, 0, 0}},
        LedRow{kShifted, 15, 1, 0, 0, {}},
        // port-LED board: bits 8+i and 16+i
        LedRow{kPortLed, 3, 2, 0, P, {0x80800, 0x80000, 0, 0, 0}},
        LedRow{kPortLed, 0, 3, 2, P, {0x10100, 1, 3, 1, 500}}, LedRow{kPortLed, 7, 1, 0, P, {0x808000, 0x8000, 0, 0, 0}},
        LedRow{kPortLed, 8, 1, 0, 0, {}},  // would light LED 0's colour 2
        LedRow{kPortLed, 31, 2, 6, 0, {}},
        // single-LED board: its driver plays no patterns, the Blinker drives the LED
        LedRow{kSingle, 0, 1, 0, 0, {}},
        // panel board: LedConfig, banks of LEDs 0-4 and 5-
        LedRow{kPanel, 2, 1, 0, C, {0x40400, 0, 0, 0x400, 0, 0, 0, 0, 0}},
        LedRow{kPanel, 2, 2, 9, C, {0x40400, 0, 0, 0x40000, 0, 0, 0, 0, 0}},
        LedRow{kPanel, 4, 0, 0, C, {0x101000, 0, 0, 0, 0, 0, 0, 0, 0}},
        LedRow{kPanel, 6, 3, 0, C, {0, 0x20002, 0, 0, 0x20000, 0, 0, 0, 0}},
        LedRow{kPanel, 20, 1, 0, C, {0, 0x80008000, 0, 0, 0x8000, 0, 0, 0, 0}},
        LedRow{kPanel, 21, 1, 0, 0, {}}, LedRow{kPanel, 2, 4, 0, 0, {}}));

TEST(GpioDevice, LedStateReadsBackTheColour) {
  GpioBench bench(kPaired);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  const int colours[] = {3, 1, 2, 0};
  for (int colour : colours) {
    ASSERT_TRUE(bench.device->setLed(4, colour, 0));
    EXPECT_EQ(bench.device->ledState(4), colour);
  }
  auto reads = bench.requests(kGpioLedState);
  ASSERT_EQ(reads.size(), 4u);
  EXPECT_EQ(reads[0].words, (std::vector<uint32_t>{0x300, 0x300}));
}

struct PatternRow {
  const char* name;
  bool (*call)(GpioDevice&);
  std::vector<uint32_t> words;
};

TEST(GpioDevice, FixedPatternsAndWlanStates) {
  const PatternRow rows[] = {
      {"activity", [](GpioDevice& d) { return d.flashActivity(); }, {0x1, 0x1, 0x3, 0, 100}},
      {"address", [](GpioDevice& d) { return d.signalAddressSet(); }, {0x2, 0x5, 0x3FF, 1, 250}},
      {"no address", [](GpioDevice& d) { return d.signalNoAddress(); }, {0x2, 0x15, 0x3FF, 1, 250}},
      {"wlan 0", [](GpioDevice& d) { return d.setWlanLed(0); }, {0x8, 0, 0, 0, 0}},
      {"wlan 1", [](GpioDevice& d) { return d.setWlanLed(1); }, {0x8, 0xCC, 0xFF, 1, 0}},
      {"wlan 2", [](GpioDevice& d) { return d.setWlanLed(2); }, {0x8, 0x8, 0, 0, 0}},
      {"wlan 3", [](GpioDevice& d) { return d.setWlanLed(3); }, {0x8, 0xAA, 0xFF, 1, 0}},
      {"wlan 7", [](GpioDevice& d) { return d.setWlanLed(7); }, {0x8, 0, 0, 0, 0}},
  };
  GpioBench bench(kPortLed);
  for (const PatternRow& row : rows) EXPECT_FALSE(row.call(*bench.device)) << row.name << " before start";
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  for (const PatternRow& row : rows) {
    const uint64_t before = bench.lastSequence();
    EXPECT_TRUE(row.call(*bench.device)) << row.name;
    auto issued = bench.driver->journal(before);
    ASSERT_EQ(issued.size(), 1u) << row.name;
    EXPECT_EQ(issued[0].words, row.words) << row.name;
  }
  const uint32_t mask = bench.device->ledMask();
  EXPECT_EQ(mask, bench.driver->ledMask());
  EXPECT_TRUE(bench.device->close());
  auto flashes = bench.requests(kGpioLedPattern);
  EXPECT_EQ(flashes.back().words, (std::vector<uint32_t>{mask, 0x1, 0x3, 0, 300}));
  EXPECT_FALSE(bench.device->flashActivity());
  EXPECT_EQ(bench.device->ioctl(kGpioInputs, nullptr), -1);
}

TEST(GpioDevice, ClosedDeviceFailsEveryRequest) {
  GpioBench bench(kPortLed);
  EXPECT_FALSE(bench.device->start(nullptr));
  EXPECT_FALSE(bench.device->started());
  EXPECT_FALSE(bench.device->setOutput(3, true));
  EXPECT_FALSE(bench.device->setLed(0, 1, 0));
  uint32_t word = 0;
  EXPECT_EQ(bench.device->ioctl(kGpioInputs, &word), -1);
  EXPECT_TRUE(bench.driver->journal().empty());
}

TEST(GpioDevice, StartReadsLedMapDriverWordAndConfiguresButtons) {
  GpioBench bench(kPortLed, 0, 1, 0x5);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  EXPECT_TRUE(bench.device->started());
  EXPECT_TRUE(bench.device->enabled());
  EXPECT_EQ(bench.device->driverWord(), bench.driver->profile().driverWord);
  EXPECT_EQ(bench.device->buttonMask(), 0x5u);
  auto map = bench.requests(kGpioLedMap);
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].words[0], bench.driver->ledMask());
  auto written = bench.requests(kButtonConfigWrite);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].words, (std::vector<uint32_t>{0x5, 0, 3500, 3550, 0}));
  EXPECT_TRUE(written[0].buttonDevice);
}

TEST(GpioDevice, FailedLedMapLeavesTheDeviceUnstarted) {
  GpioBench bench(kPortLed);
  ASSERT_TRUE(bench.device->open());
  bench.driver->failNext(kGpioLedMap, 1);
  EXPECT_FALSE(bench.device->start(nullptr));
  EXPECT_FALSE(bench.device->started());
  EXPECT_TRUE(bench.requests(kButtonConfigRead).empty());
}

TEST(GpioDevice, DriverWithoutPatternsSetsUpTheLedRegisterAndKeepsItsButtons) {
  GpioBench bench(kSingle);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  EXPECT_FALSE(bench.device->enabled());
  EXPECT_TRUE(bench.device->started());
  auto setup = bench.requests(kGpioLedRegister);
  ASSERT_EQ(setup.size(), 2u);
  EXPECT_EQ(setup[0].words[0], 0x228u);
  EXPECT_EQ(setup[1].words[0], 0x3000000u);
  EXPECT_EQ(bench.device->buttonMask(), 0x1u);
  EXPECT_TRUE(bench.requests(kGpioLedMap).empty());
}

TEST(GpioDevice, RelayIsActiveLowAndNeedsTheFeature) {
  GpioBench bench(kPortLed, 0, 210);
  ASSERT_TRUE(bench.device->open());
  bench.params.sw_features->setValue(FeatureRelay);
  bench.params.relay_on->setValue(1);
  ASSERT_TRUE(bench.device->start(nullptr));
  // start applies relay_on with relay_ctrl "fix": output 29 off
  EXPECT_EQ(bench.driver->outputs() & (1u << 29), 0u);
  auto off = bench.requests(kGpioOutputOff);
  ASSERT_FALSE(off.empty());
  EXPECT_EQ(off.back().words[0], 1u << 29);
  EXPECT_TRUE(bench.device->setRelay(false));
  EXPECT_EQ(bench.driver->outputs(), 1u << 29);
  bench.params.sw_features->setValue(0);
  EXPECT_FALSE(bench.device->setRelay(true));
}

std::vector<SimGpioRecord> beeperRecords(const GpioBench& bench, uint64_t since) {
  std::vector<SimGpioRecord> beeper;
  for (const SimGpioRecord& r : bench.driver->journal(since)) {
    if ((r.request == kGpioOutputOn || r.request == kGpioOutputOff) && r.words[0] == 1u << 31) beeper.push_back(r);
  }
  return beeper;
}

TEST(GpioDevice, TwoShortBeepsQuarterSecondApart) {
  GpioBench bench(kPanel);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  bench.params.sw_features->setValue(FeatureBeeper);
  const uint64_t before = bench.lastSequence();
  ASSERT_TRUE(bench.device->beep(2));
  bench.device.reset();  // waits for its beeps
  auto beeper = beeperRecords(bench, before);
  ASSERT_EQ(beeper.size(), 4u);
  const unsigned long order[] = {kGpioOutputOn, kGpioOutputOff, kGpioOutputOn, kGpioOutputOff};
  const int64_t minimumMs[] = {95, 245, 95};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(beeper[i].request, order[i]);
  for (size_t i = 0; i < 3; ++i) {
    const int64_t gap = beeper[i + 1].timeMs - beeper[i].timeMs;
    EXPECT_GE(gap, minimumMs[i]) << i;
    EXPECT_LT(gap, minimumMs[i] + 150) << i;
  }
}

TEST(GpioDevice, ConcurrentBeepsKeepTheirOwnCounts) {
  GpioBench bench(kPanel);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  bench.params.sw_features->setValue(FeatureBeeper);
  const uint64_t before = bench.lastSequence();
  ASSERT_TRUE(bench.device->beep(1));
  ASSERT_TRUE(bench.device->beep(2));
  ASSERT_TRUE(bench.device->beep(0));
  bench.device.reset();
  auto beeper = beeperRecords(bench, before);
  int ons = 0;
  for (const SimGpioRecord& r : beeper) ons += r.request == kGpioOutputOn;
  EXPECT_EQ(ons, 4);
  EXPECT_EQ(beeper.size(), 8u);
  // The 400-ms beep is the last to end.
  EXPECT_GE(beeper.back().timeMs - beeper.front().timeMs, 395);
}

TEST(GpioDevice, NoBeepWithoutTheBeeperFeature) {
  GpioBench bench(kPortLed, 4, 121);
  ASSERT_TRUE(bench.device->open());
  EXPECT_FALSE(bench.device->beep(0));
}

struct PowerRow {
  uint32_t ports;
  std::vector<std::vector<int>> groups;
};

class GpioPortPower : public ::testing::TestWithParam<PowerRow> {};

TEST_P(GpioPortPower, PowersPortsUpInStaggeredGroups) {
  const PowerRow& row = GetParam();
  GpioBench bench(kPortLed, row.ports, 181);
  bench.params.wyk_poff_[2]->setValue(1);  // port 3 stays off
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  std::vector<SimGpioRecord> switched;
  for (const SimGpioRecord& r : bench.driver->journal()) {
    if (r.request == kGpioOutputOn || r.request == kGpioOutputOff) switched.push_back(r);
  }
  size_t k = 0;
  int64_t groupStart = -1;
  for (const std::vector<int>& group : row.groups) {
    for (size_t j = 0; j < group.size(); ++j, ++k) {
      ASSERT_LT(k, switched.size());
      const int port = group[j];
      EXPECT_EQ(switched[k].words[0], 1u << port) << "request " << k;
      EXPECT_EQ(switched[k].request, port == 2 ? kGpioOutputOff : kGpioOutputOn) << "port " << port;
      if (j == 0) {
        if (groupStart >= 0) {
          EXPECT_GE(switched[k].timeMs - groupStart, 450) << "group of port " << port;
        }
        groupStart = switched[k].timeMs;
      } else {
        EXPECT_LT(switched[k].timeMs - groupStart, 200);
      }
    }
  }
  EXPECT_EQ(k, switched.size());
  EXPECT_EQ(bench.driver->outputs(), ((1u << row.ports) - 1) & ~0x4u);
}

INSTANTIATE_TEST_SUITE_P(Ports, GpioPortPower,
                         ::testing::Values(PowerRow{4, {{0, 1, 2, 3}}},
                                           PowerRow{8, {{0, 2, 4, 6}, {1, 3, 5, 7}}},
                                           PowerRow{20,
                                                    {{0, 5, 10, 15},
                                                     {1, 6, 11, 16},
                                                     {2, 7, 12, 17},
                                                     {3, 8, 13, 18},
                                                     {4, 9, 14, 19}}}));

TEST(GpioBoard, GoodWiredLinkMask) {
  EXPECT_EQ(goodWiredLinkMask(4, true), 0x11u);
  EXPECT_EQ(goodWiredLinkMask(1, false), 0x2u);
  EXPECT_EQ(goodWiredLinkMask(0, false), 0x1u);
  EXPECT_EQ(goodWiredLinkMask(40, false), 0u);
}

}  // namespace
