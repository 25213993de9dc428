#include "core/lazy_hub_watcher.h"

#include <ctime>

#include "core/run_state.h"
#include "core/shutdown_task.h"
#include "core/tick_clock.h"
#include "core/wall_clock.h"

LazyHubWatcher::LazyHubWatcher(std::function<void()> afterParamsChanged,
                               std::function<int()> restartHour)
    : Task("LazyHubWatcher"),
      afterParamsChanged_(std::move(afterParamsChanged)),
      restartHour_(std::move(restartHour)) {}

int LazyHubWatcher::handle(TaskMessage* msg) {
  const int type = Task::handle(msg);
  if (msg->type & MSG_PARAMS_CHANGED) paramsChanged_ = true;
  return type;
}

bool LazyHubWatcher::restartDue() const {
  const int hour = restartHour_ ? restartHour_() : 24;
  if (hour < 0 || hour > 23 || ticks() <= kMinimumRunTicks) return false;
  std::tm now{};
  return localTimeNow(now) && now.tm_year + 1900 > 2018 && now.tm_hour == hour;
}

void LazyHubWatcher::run() {
  for (;;) {
    dispatch(6000);
    if (paramsChanged_) {
      paramsChanged_ = false;
      if (afterParamsChanged_) afterParamsChanged_();
    }
    if (restartDue()) break;
  }
  runState().exitCode.store(2);
  ShutDown::launch(1);
}
