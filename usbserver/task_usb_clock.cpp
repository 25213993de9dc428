#include "usbserver/task_usb_clock.h"

#include <chrono>
#include <thread>

#include "core/task.h"
#include "core/task_table.h"
#include "core/tick_clock.h"

int64_t TaskUsbClock::now() { return ticks(); }

void TaskUsbClock::wait(int64_t timeoutTicks) {
  if (Task* task = currentTask()) {
    task->wait(timeoutTicks);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(timeoutTicks * 10));
}
