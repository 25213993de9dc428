#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/gpio_requests.h"
#include "core/gpio_task.h"
#include "core/task_table.h"
#include "tests/core/gpio_test_support.h"
#include "tests/support/test_task.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kPanel = 20;

std::vector<uint32_t> panelLed(int index, int colour) {
  const LedBits bits = gpioLedBits(gpioBoardOf(kPanel), index, ~0u);
  std::vector<uint32_t> words(9, 0);
  const int bank = panelLedBank(index);
  words[bank] = bits.both();
  words[3 + bank] = colour == 1 ? bits.colour1 : colour >= 2 ? bits.colour2 : 0;
  return words;
}

std::vector<uint32_t> segments(int step) {
  const uint32_t t[] = {0x1200, 0x0C00, 0x00C0, 0x2100};
  const uint32_t value = step < 0 ? 0x7FFF7FFF : ~(t[step % 4] | t[step % 4] << 16);
  return {0, 0, 0x7FFF7FFF, 0, 0, value, 0, 0, 0};
}

// Whoever decides on the Blinker waits for the probe, not for the chase.
TEST(GpioStart, ProbeIsAwaitedAcrossThreadsAndTellsWhetherPatternsPlay) {
  struct Row {
    uint32_t project;
    bool patterns;
  };
  for (const Row row : {Row{30, false}, Row{0, true}, Row{kPanel, true}}) {
    GpioBench bench(row.project, 4);
    EXPECT_FALSE(bench.device->awaitProbe(20ms)) << "no start yet";
    ASSERT_TRUE(bench.device->open());
    std::thread starter([&] { bench.device->start(nullptr); });
    EXPECT_TRUE(bench.device->awaitProbe(5000ms)) << row.project;
    EXPECT_EQ(bench.device->enabled(), row.patterns) << row.project;
    starter.join();
  }
}

TEST(GpioStart, ChaseWithDisplaySegmentsThenDefaultTextAndPortPower) {
  GpioBench bench(kPanel, 4, 181);
  ASSERT_TRUE(bench.device->open());
  bool started = false;
  {
    RunningTestTask task([&](TestTask& self) { started = bench.device->start(&self); });
    ASSERT_TRUE(task.wait());
  }
  ASSERT_TRUE(started);
  std::vector<std::vector<uint32_t>> expected;
  for (int i = 0; i < 4; ++i) expected.push_back(panelLed(i, 0));
  expected.push_back(panelLed(1, 2));
  expected.push_back(panelLed(2, 2));
  expected.push_back(segments(0));
  expected.push_back(panelLed(0, 2));
  expected.push_back(panelLed(3, 2));
  expected.push_back(segments(1));
  for (int k = 0; k < 10; ++k) expected.push_back(segments(2 + k));
  expected.push_back(panelLed(1, 1));
  expected.push_back(panelLed(2, 1));
  expected.push_back(segments(12));
  expected.push_back(panelLed(0, 1));
  expected.push_back(panelLed(3, 1));
  expected.push_back(segments(13));
  expected.push_back(segments(-1));
  for (int i = 0; i < 4; ++i) expected.push_back(panelLed(i, 0));
  auto configs = bench.requests(kGpioLedConfig);
  ASSERT_EQ(configs.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(configs[i].words, expected[i]) << "request " << i;
  // Segment steps 10 ticks apart, the blank display 150 ticks.
  EXPECT_GE(configs[7].timeMs - configs[4].timeMs, 95);
  EXPECT_GE(configs[27].timeMs - configs[26].timeMs, 1450);
  auto shown = bench.requests(kGpioDisplay);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].words[0], uint32_t('D') << 24 | uint32_t('S') << 8);
  EXPECT_GT(shown[0].sequence, configs.back().sequence);
  EXPECT_EQ(bench.driver->outputs(), 0xFu);
  EXPECT_EQ(bench.requests(kButtonConfigWrite).size(), 1u);
}

// The simulated drivers, but each button is a pipe whose writer the test holds.
class PipeButtonBackend : public SimGpioDriver {
 public:
  using SimGpioDriver::SimGpioDriver;
  int openButton(int) override {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    readEnd = ends[0];
    writeEnd = ends[1];
    return readEnd;
  }
  std::atomic<int> readEnd{-1};
  int writeEnd = -1;
};

TEST(GpioTask, ButtonAtEndOfFileIsClosed) {
  TempRoot root;
  ParamTable table;
  Parameters params(table);
  ProductInfo product;
  product.gpio_hw_project = 30;
  SimGpioProfile profile;
  profile.board = gpioBoardOf(30);
  PipeButtonBackend backend(profile);
  GpioDevice device(backend, table, product);
  ASSERT_TRUE(device.open());
  auto* task = new GpioTask(device, product, GpioTaskHooks{{}, [](int) { return -1; }});
  const int id = task->start(GpioTask::kStackSize);
  ASSERT_GT(id, 0);
  for (int i = 0; i < 500 && backend.readEnd.load() < 0; ++i) std::this_thread::sleep_for(10ms);
  const int readEnd = backend.readEnd.load();
  ASSERT_GE(readEnd, 0);
  close(backend.writeEnd);
  bool closed = false;
  for (int i = 0; i < 500 && !closed; ++i) {
    closed = fcntl(readEnd, F_GETFD) == -1;
    if (!closed) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(closed);
  for (int i = 0; i < 500; ++i) {
    TaskMessage msg{};
    msg.type = MSG_TERMINATE;
    if (postToId(id, &msg) < 0) break;
    std::this_thread::sleep_for(10ms);
  }
}

}  // namespace
