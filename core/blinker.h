#pragma once
// The "Blinker" task: drives the status LED of boards whose GPIO driver
// plays no LED patterns, one pattern element per 250-ms step, and shows the
// identify pattern when signal 57 arrives.
#include <atomic>
#include <functional>
#include <span>

#include "core/task.h"

class GpioDevice;

// Identify steps still to show; set by testSigHandler, counted down by the
// Blinker.
extern std::atomic<int> identifyCount;

inline constexpr int kIdentifySignal = 57;

// The identify request's handler: async-signal-safe (an atomic store and
// write(2)).
void testSigHandler(int signal);

class Blinker : public Task {
 public:
  static constexpr int kStackSize = 20480;
  static constexpr int kStepMs = 250;

  enum Status { Off = 0, Initial = 1, InUse = 2, Address = 3, NoAddress = 4, Identify = 5 };

  // usbInUse: whether a USB device is connected to a client.
  Blinker(GpioDevice& device, std::function<bool()> usbInUse);

  void run() override;

  static std::span<const int> patternOf(int status);

 private:
  int evaluate();
  void waitStep();

  GpioDevice& device_;
  std::function<bool()> usbInUse_;
  int stepCounter_ = 4;
  int status_ = Off;
  int lastStatus_ = Initial;
};
