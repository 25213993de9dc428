#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "core/blinker.h"
#include "core/gpio_requests.h"
#include "core/gpio_task.h"
#include "core/run_state.h"
#include "core/task_table.h"
#include "tests/core/gpio_test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSingle = 30;

// Ends a started task with MSG_TERMINATE and waits until it is unlisted.
bool terminate(int id) {
  for (int i = 0; i < 500; ++i) {
    TaskMessage msg{};
    msg.type = MSG_TERMINATE;
    if (postToId(id, &msg) < 0) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Waits until the journal holds at least `count` requests of that number.
bool awaitRequests(const GpioBench& bench, unsigned long request, size_t count) {
  for (int i = 0; i < 500; ++i) {
    if (bench.requests(request).size() >= count) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(GpioTask, ButtonPressThroughTheFifoResetsToFactorySettings) {
  GpioBench bench(kSingle);
  const std::string paramsFile = bench.root.writeFile("/etc/params.dat", "wyk_port=9200\n");
  ASSERT_TRUE(bench.device->open());
  std::promise<int> restart;
  GpioTaskHooks hooks;
  hooks.launchShutDown = [&restart](int delay) {
    restart.set_value(delay);
    return 1;
  };
  hooks.startWps = [] { ADD_FAILURE() << "no WPS on a '1'"; };
  const int savedExitCode = runState().exitCode.load();
  auto* task = new GpioTask(*bench.device, bench.product, hooks);
  const int id = task->start(GpioTask::kStackSize);
  ASSERT_GT(id, 0);
  // The task opens the FIFO once the device has started.
  bool pressed = false;
  for (int i = 0; i < 500 && !pressed; ++i) {
    pressed = bench.device->started() && bench.driver->pressButton(0, std::string("10\0" "1", 4)) == 0;
    if (!pressed) std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(pressed);
  auto result = restart.get_future();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), 1);
  EXPECT_EQ(access(paramsFile.c_str(), F_OK), -1);
  EXPECT_EQ(runState().exitCode.load(), 2);
  // Bytes up to the NUL count.
  EXPECT_EQ(bench.params.button_cnt->value(), 2);
  EXPECT_TRUE(terminate(id));
  runState().exitCode.store(savedExitCode);
}

TEST(GpioTask, ZeroOnAnotherVariantOnlyCounts) {
  GpioBench bench(kSingle);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  GpioTaskHooks hooks;
  int wps = 0, restarts = 0;
  hooks.startWps = [&wps] { ++wps; };
  hooks.launchShutDown = [&restarts](int) { return ++restarts; };
  GpioTask task(*bench.device, bench.product, hooks);
  int fifo = bench.device->openButton(0);
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(bench.driver->pressButton(0, "0"), 0);
  EXPECT_EQ(task.onButton(fifo), 0);
  EXPECT_EQ(bench.params.button_cnt->value(), 1);
  EXPECT_EQ(wps, 0);
  EXPECT_EQ(restarts, 0);
  // Nothing pending: the read finds nothing and changes nothing.
  EXPECT_EQ(task.onButton(fifo), 0);
  EXPECT_EQ(bench.params.button_cnt->value(), 1);
  close(fifo);
}

TEST(GpioTask, ZeroOnTheWirelessOnlyVariantStartsWps) {
  GpioBench bench(kSingle);
  bench.product.usbtable_product_id = 131;
  ASSERT_TRUE(bench.device->open());
  GpioTaskHooks hooks;
  int wps = 0;
  hooks.startWps = [&wps] { ++wps; };
  hooks.launchShutDown = [](int) { return -1; };
  GpioTask task(*bench.device, bench.product, hooks);
  int fifo = bench.device->openButton(0);
  ASSERT_GE(fifo, 0);
  ASSERT_EQ(bench.driver->pressButton(0, "00"), 0);
  task.onButton(fifo);
  EXPECT_EQ(wps, 1);
  EXPECT_EQ(bench.params.button_cnt->value(), 2);
  close(fifo);
}

TEST(Blinker, IdentifySignalPlaysTheIdentifyPatternIn250MsSteps) {
  GpioBench bench(kSingle);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  const size_t setup = bench.requests(kGpioLedRegister).size();
  auto* blinker = new Blinker(*bench.device, [] { return false; });
  const int id = blinker->start(Blinker::kStackSize);
  ASSERT_GT(id, 0);
  // The handler is installed before the first step is written.
  ASSERT_TRUE(awaitRequests(bench, kGpioLedRegister, setup + 2));
  const uint64_t signalled = bench.lastSequence();
  ASSERT_EQ(kill(getpid(), kIdentifySignal), 0);
  std::this_thread::sleep_for(2300ms);
  ASSERT_TRUE(terminate(id));
  std::vector<SimGpioRecord> steps;
  for (const SimGpioRecord& r : bench.driver->journal(signalled)) {
    if (r.request == kGpioLedRegister) steps.push_back(r);
  }
  ASSERT_GE(steps.size(), 9u);
  // The step already waiting may still show the old pattern; the identify
  // pattern starts at the first step after the signal.
  size_t start = 0;
  const uint32_t off = 0x3000000, on = 0x7000000;
  const std::vector<uint32_t> identify{off, off, off, on, off, on, off, off};
  auto matchesAt = [&](size_t at) {
    for (size_t k = 0; k < identify.size(); ++k) {
      if (steps[at + k].words[0] != identify[k]) return false;
    }
    return true;
  };
  if (!matchesAt(0)) start = 1;
  ASSERT_TRUE(matchesAt(start));
  for (size_t k = start + 1; k < start + identify.size(); ++k) {
    const int64_t gap = steps[k].timeMs - steps[k - 1].timeMs;
    EXPECT_GE(gap, 245) << k;
    EXPECT_LT(gap, 450) << k;
  }
  // Then the no-address pattern starts again from its first element (on).
  if (steps.size() > start + identify.size()) {
    EXPECT_EQ(steps[start + identify.size()].words[0], on);
  }
}

}  // namespace
