#pragma once
// LazyHubWatcher: the housekeeping that follows a change of parameters
// (rewriting the resolver file, restarting the multicast DNS responder when
// it is gone) and the daily restart at the configured hour.
#include <functional>

#include "core/task.h"

class LazyHubWatcher : public Task {
 public:
  static constexpr int kStackSize = 20480;
  static constexpr int64_t kMinimumRunTicks = 366000;  // 61 minutes

  // `afterParamsChanged` runs on this task after every parameters-changed
  // message; `restartHour` gives the hour of the daily restart, or a value
  // above 23 (also when the setting is hidden) for none.
  LazyHubWatcher(std::function<void()> afterParamsChanged, std::function<int()> restartHour);

  void run() override;
  int handle(TaskMessage* msg) override;

  // Whether the daily restart is due now.
  bool restartDue() const;

 private:
  std::function<void()> afterParamsChanged_;
  std::function<int()> restartHour_;
  bool paramsChanged_ = false;
};
