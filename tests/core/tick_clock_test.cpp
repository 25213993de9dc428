#include "core/tick_clock.h"

#include <cstdlib>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// A counter the test moves by hand; it fails the reads it is told to fail.
struct FakeCounter {
  std::atomic<int64_t> value{0};
  std::atomic<int> reads{0};
  std::atomic<int> failNext{0};

  TickCounterSource source() {
    return [this](int64_t& raw) {
      reads.fetch_add(1);
      if (failNext.load() > 0) {
        failNext.fetch_sub(1);
        return false;
      }
      raw = value.load();
      return true;
    };
  }
};

class TickClockTest : public ::testing::Test {
 protected:
  void TearDown() override { setTickCounterSource(nullptr); }
};

TEST_F(TickClockTest, FallbackCountsHundredthsOfASecond) {
  setTickCounterSource(nullptr);
  int64_t first = ticks();
  EXPECT_GE(first, 0);
  std::this_thread::sleep_for(200ms);
  int64_t second = ticks();
  EXPECT_GE(second - first, 19);
  EXPECT_LE(second - first, 25);
  EXPECT_NEAR(uptimeTicks(), second, 1);
}

TEST_F(TickClockTest, CounterDrivesTheClockFromWhereItStood) {
  FakeCounter counter;
  counter.value = 0;  // a first reading of 0 does not fix the origin
  const int64_t before = ticks();
  setTickCounterSource(counter.source());
  int64_t atZero = ticks();
  EXPECT_GE(atZero, before);
  EXPECT_LE(atZero - before, 1);

  counter.value = 5000000;  // the driver's own origin is far away
  int64_t origin = ticks();
  EXPECT_EQ(origin, atZero);
  counter.value = 5000037;
  EXPECT_EQ(ticks(), origin + 37);
  std::this_thread::sleep_for(30ms);  // the counter, not the host clock, counts
  EXPECT_EQ(ticks(), origin + 37);
  counter.value = 5000137;
  EXPECT_EQ(ticks(), origin + 137);
}

TEST_F(TickClockTest, CounterThatFailsOnceIsNeverAskedAgain) {
  FakeCounter counter;
  counter.value = 1000;
  setTickCounterSource(counter.source());
  const int64_t origin = ticks();
  counter.value = 1250;
  EXPECT_EQ(ticks(), origin + 250);

  counter.failNext = 1;
  const int64_t afterFailure = ticks();
  const int readsAtFailure = counter.reads.load();
  // No jump at the switch: the fallback continues from the last value.
  EXPECT_GE(afterFailure, origin + 250);
  EXPECT_LE(afterFailure, origin + 251);

  counter.value = 99999999;  // would answer now, but is not asked
  std::this_thread::sleep_for(100ms);
  int64_t later = ticks();
  EXPECT_EQ(counter.reads.load(), readsAtFailure);
  EXPECT_GE(later - afterFailure, 9);
  EXPECT_LE(later - afterFailure, 15);
}

TEST_F(TickClockTest, SwitchingSourcesNeverJumps) {
  FakeCounter first;
  FakeCounter second;
  first.value = 777;
  second.value = -123456;
  setTickCounterSource(first.source());
  const int64_t start = ticks();
  first.value = 877;
  EXPECT_EQ(ticks(), start + 100);

  setTickCounterSource(second.source());
  EXPECT_EQ(ticks(), start + 100);
  second.value = -123406;
  EXPECT_EQ(ticks(), start + 150);

  setTickCounterSource(nullptr);
  int64_t onFallback = ticks();
  EXPECT_GE(onFallback, start + 150);
  EXPECT_LE(onFallback, start + 151);
}

TEST(TickClockStress, ReadersSeeNoJumpsWhileSourcesChange) {
  // One counter per round, each with its own origin, each ticking along.
  std::vector<std::unique_ptr<FakeCounter>> counters;
  std::atomic<bool> stop{false};
  std::atomic<int64_t> worstStepBack{0};
  std::atomic<int64_t> worstStepForward{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 6; ++r) {
    readers.emplace_back([&] {
      int64_t previous = ticks();
      while (!stop.load()) {
        int64_t now = ticks();
        int64_t step = now - previous;
        if (step < 0 && -step > worstStepBack.load()) worstStepBack = -step;
        if (step > worstStepForward.load()) worstStepForward = step;
        previous = now;
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    counters.push_back(std::make_unique<FakeCounter>());
    FakeCounter& counter = *counters.back();
    counter.value = 1000000 * (round % 7) - 3000000 + round;
    if (round % 5 == 4) counter.failNext = 1;
    setTickCounterSource(round % 3 == 2 ? TickCounterSource{} : counter.source());
    for (int step = 0; step < 3; ++step) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      counter.value.fetch_add(1);
    }
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  setTickCounterSource(nullptr);
  EXPECT_EQ(worstStepBack.load(), 0);
  // Readers may be descheduled for a while, but never see an origin jump.
  EXPECT_LT(worstStepForward.load(), 500);
}

}  // namespace
