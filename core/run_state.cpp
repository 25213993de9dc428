#include "core/run_state.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "core/tick_clock.h"

namespace {
constinit RunState processRunState;
}  // namespace

RunState& runState() { return processRunState; }

void RunState::noteStopSignal(bool isSigInt) {
  if (isSigInt) sigInts.fetch_add(1);
  int64_t now = monotonicCentiseconds();
  stopMonotonic.store(now > 0 ? now : 1);
  shutdowns.fetch_add(1);
}

int64_t RunState::stopStamp() const {
  int64_t noted = stopMonotonic.load();
  if (noted == 0) return 0;
  int64_t stamp = ticks() - (monotonicCentiseconds() - noted);
  // 0 means "none"; a stop noted in the clock's very first tick stays visible.
  return stamp != 0 ? stamp : 1;
}

int parseKickOff(const char* text) {
  if (text == nullptr || *text == '\0') return -1;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return -1;
  return static_cast<int>(value);
}
