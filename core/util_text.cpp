#include "core/util_text.h"

#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

int raised(unsigned char c) { return c > 'Z' ? c - 32 : c; }

std::atomic<std::int64_t> msTimerBase{0};

}  // namespace

int compareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    if (*a == '\0') return 0;
    const int difference = raised(static_cast<unsigned char>(*a)) - raised(static_cast<unsigned char>(*b));
    if (difference != 0) return difference;
  }
}

int uptimeText(std::int64_t ticks, char* buffer) {
  const std::int64_t minutes = ticks / 6000;
  return std::snprintf(buffer, kUptimeTextSize, "%3d/%02d/%02d", static_cast<int>(minutes / 1440),
                       static_cast<int>(minutes / 60 % 24), static_cast<int>(minutes % 60));
}

char* statusLineValue(char* line) {
  char* cursor = line + std::strcspn(line, " \t");
  cursor += std::strspn(cursor, " \t");
  const std::size_t length = std::strlen(cursor);
  // only a newline is cut: the last line of a file may lack one
  if (length > 0 && cursor[length - 1] == '\n') cursor[length - 1] = '\0';
  return cursor;
}

std::uint32_t loadU32(const void* pointer) {
  std::uint32_t value;
  std::memcpy(&value, pointer, sizeof value);
  return value;
}

std::int64_t msTimer(int reset) {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  if (reset != 0) msTimerBase.store(now.tv_sec);
  return (now.tv_sec - msTimerBase.load()) * 1000 + now.tv_usec / 1000;
}
