#include "core/wall_clock.h"

#include <cerrno>
#include <mutex>

namespace {

struct WallClock {
  std::mutex mutex;  // guards every field
  bool simulated = false;
  std::time_t offset = 0;
  std::function<std::time_t()> source;
};

WallClock& wallClock() {
  static WallClock instance;
  return instance;
}

}  // namespace

std::time_t wallNow() {
  WallClock& c = wallClock();
  std::lock_guard<std::mutex> guard(c.mutex);
  const std::time_t base = c.source ? c.source() : std::time(nullptr);
  return base + c.offset;
}

bool localTimeNow(std::tm& out) {
  const std::time_t now = wallNow();
  return localtime_r(&now, &out) != nullptr;
}

int setWallClock(const timeval& tv) {
  WallClock& c = wallClock();
  std::lock_guard<std::mutex> guard(c.mutex);
  if (!c.simulated) return settimeofday(&tv, nullptr) == 0 ? 0 : -errno;
  const std::time_t base = c.source ? c.source() : std::time(nullptr);
  c.offset = tv.tv_sec - base;
  return 0;
}

void useSimulatedWallClock(bool simulated) {
  WallClock& c = wallClock();
  std::lock_guard<std::mutex> guard(c.mutex);
  c.simulated = simulated;
}

void setWallClockSource(std::function<std::time_t()> source) {
  WallClock& c = wallClock();
  std::lock_guard<std::mutex> guard(c.mutex);
  c.source = std::move(source);
}
