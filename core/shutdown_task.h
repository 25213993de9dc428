#pragma once
// The orderly stop of all tasks. Whoever asks for a stop (main after a stop
// signal, the button, the restart page, the update...) starts a ShutDown
// task, having set runState().exitCode first when it asks for a restart.
// The first ShutDown of the process shows "RS" on the status display, waits
// its delay, broadcasts MSG_TERMINATE, waits 1 s and sends SIGTERM to every
// other task; every ShutDown, the first included, then counts itself in
// runState().shutdowns and ends.
#include "core/task.h"

// Shows a code on the status display; installed by the GPIO device when one
// exists. Arguments as StatusDisplay::show (two characters, flags).
using StatusShowHook = void (*)(char c1, char c2, int flags);
void setStatusShowHook(StatusShowHook hook);

class ShutDown : public Task {
 public:
  static constexpr int kStackSize = 20480;

  explicit ShutDown(int delaySeconds) : Task("ShutDown"), delaySeconds_(delaySeconds) {}

  // Constructs and starts a ShutDown task; its id or -1. A task that failed
  // to start is deleted here.
  static int launch(int delaySeconds);

  void run() override;

 private:
  // Serves messages until the deadline, whatever they carry.
  void waitFullDelay();

  int delaySeconds_;
};
