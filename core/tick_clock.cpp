#include "core/tick_clock.h"

#include <time.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace {

// One clock per process. `fallbackFast` lets readers on the monotonic
// fallback skip the lock: it is true only while no source is installed and
// the fallback's offset is fixed; the offset is written before it is set,
// and `switches` tells a lock-free reader that a switch overlapped its
// reading. Everything else is guarded by `mutex`.
struct Clock {
  std::mutex mutex;
  TickCounterSource source;        // empty: fallback
  bool sourceBased = false;        // the source's offset is fixed
  int64_t sourceOffset = 0;        // ticks = raw + sourceOffset
  bool fallbackBased = false;
  std::atomic<int64_t> fallbackOffset{0};  // ticks = monotonic + fallbackOffset
  std::atomic<bool> fallbackFast{false};
  std::atomic<uint64_t> switches{0};       // counts every change of fallbackFast
  int64_t last = 0;                // the last value handed out under the lock
};

Clock& tickClock() {
  // Never destroyed: detached task threads may read the clock during exit.
  static Clock* const instance = new Clock;
  return *instance;
}

// Continue on the monotonic clock from `from`.
void switchToFallbackLocked(Clock& c, int64_t from) {
  c.source = nullptr;
  c.sourceBased = false;
  c.fallbackOffset.store(from - monotonicCentiseconds());
  c.fallbackBased = true;
  c.fallbackFast.store(true);
  c.switches.fetch_add(1);
}

int64_t readLocked(Clock& c) {
  if (c.source) {
    int64_t raw = 0;
    if (c.source(raw)) {
      if (!c.sourceBased) {
        // The first non-zero reading continues from the last value.
        if (raw == 0) return c.last;
        c.sourceOffset = c.last - raw;
        c.sourceBased = true;
      }
      c.last = raw + c.sourceOffset;
      return c.last;
    }
    switchToFallbackLocked(c, c.last);
  }
  if (!c.fallbackBased) switchToFallbackLocked(c, c.last);
  c.last = monotonicCentiseconds() + c.fallbackOffset.load();
  return c.last;
}

}  // namespace

int64_t monotonicCentiseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 100 + now.tv_nsec / 10000000;
}

void setTickCounterSource(TickCounterSource source) {
  Clock& c = tickClock();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.switches.fetch_add(1);
  c.fallbackFast.store(false);
  // Where the clock stands now: the fallback moves on by itself, a source's
  // last reading is the best we know without asking it again.
  int64_t now = c.last;
  if (!c.source && c.fallbackBased) now = monotonicCentiseconds() + c.fallbackOffset.load();
  c.last = now;
  if (source) {
    c.fallbackBased = false;
    c.source = std::move(source);
    c.sourceBased = false;
  } else {
    switchToFallbackLocked(c, now);
  }
}

int64_t ticks() {
  Clock& c = tickClock();
  const uint64_t switches = c.switches.load();
  if (c.fallbackFast.load()) {
    // The second look makes sure no switch overlapped the reading: a switch
    // counts itself before it reads where the clock stands.
    const int64_t offset = c.fallbackOffset.load();
    const int64_t value = monotonicCentiseconds() + offset;
    if (c.switches.load() == switches) return value;
  }
  std::lock_guard<std::mutex> lock(c.mutex);
  return readLocked(c);
}

int64_t uptimeTicks() { return ticks(); }
