#pragma once
// The "GPio" task: starts the GPIO device (chase, buttons, port power) and
// turns button presses into a factory reset with restart or, on the
// wireless-only variant, a WPS push-button session.
#include <array>
#include <functional>

#include "core/fd_watch.h"
#include "core/task.h"

class GpioDevice;
struct ProductInfo;

struct GpioTaskHooks {
  // Starts the WPS push-button session ("WpaWps"); empty until the WLAN
  // control provides it.
  std::function<void()> startWps;
  // Starts the ShutDown task of the restart after a factory reset; its id
  // or -1. ShutDown::launch when empty.
  std::function<int(int delaySeconds)> launchShutDown;
};

class GpioTask : public Task {
 public:
  static constexpr int kStackSize = 20480;
  static constexpr int kButtons = 4;
  static constexpr size_t kReadSize = 32;

  GpioTask(GpioDevice& device, const ProductInfo& product, GpioTaskHooks hooks = {});
  ~GpioTask() override;

  void run() override;
  // Handles the characters read from one button device; returns 0. End of
  // file or a read error closes that button (its watch would fire for ever).
  int onButton(int fd);

 private:
  static int buttonReadable(FdWatch* watch, uint32_t events);
  void openButtons();
  void closeButton(int fd);
  void factoryReset();
  bool isWirelessOnly() const;

  GpioDevice& device_;
  const uint32_t usbTableProductId_;
  GpioTaskHooks hooks_;
  std::array<int, kButtons> buttons_{-1, -1, -1, -1};
  std::array<FdWatch, kButtons> watches_{};
};
