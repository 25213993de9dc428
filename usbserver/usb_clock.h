#pragma once
// The tick clock as the device table uses it: hundredths of a second, and a
// wait that keeps serving the calling task's messages.
#include <cstdint>

class UsbClock {
 public:
  virtual ~UsbClock() = default;
  virtual int64_t now() = 0;
  // Task::wait of the calling task for `ticks`.
  virtual void wait(int64_t ticks) = 0;
};
