#pragma once
// The device table's clock in the running appliance: the tick clock, and
// waits that keep serving the calling task's messages.
#include "usbserver/usb_clock.h"

class TaskUsbClock : public UsbClock {
 public:
  int64_t now() override;
  // Task::wait of the calling task; a thread that is no task sleeps.
  void wait(int64_t ticks) override;
};
