#include "core/shutdown_task.h"

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>

#include "core/run_state.h"

namespace {

std::atomic<StatusShowHook> statusShowHook{nullptr};

// Set by the first ShutDown run of the process; exchanged atomically so that
// two ShutDowns started together stop the process once.
std::atomic<bool> stopStarted{false};

}  // namespace

void setStatusShowHook(StatusShowHook hook) { statusShowHook.store(hook); }

int ShutDown::launch(int delaySeconds) {
  auto* task = new ShutDown(delaySeconds);
  int id = task->start(kStackSize);
  if (id < 0) delete task;
  return id;
}

void ShutDown::waitFullDelay() {
  // A message with a wake bit (a settings broadcast, a notification) ends
  // Task::wait early; the delay lets a restart page show its answer first,
  // so it is waited out to the deadline.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(delaySeconds_);
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    wait((left + 9) / 10);
  }
}

void ShutDown::run() {
  if (!stopStarted.exchange(true)) {
    if (StatusShowHook show = statusShowHook.load()) show('R', 'S', 0x30);
    if (delaySeconds_ > 0) waitFullDelay();
    TaskMessage terminate{};
    terminate.type = MSG_TERMINATE;
    broadcast(&terminate);
    timespec second{1, 0};
    while (nanosleep(&second, &second) != 0 && errno == EINTR) {
    }
    signalTasks(nullptr, SIGTERM);
  }
  runState().shutdowns.fetch_add(1);
  exit();
}
