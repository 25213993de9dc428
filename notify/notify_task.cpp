#include "notify/notify_task.h"

#include <strings.h>

#include <string>

#include "core/shutdown_task.h"
#include "core/tick_clock.h"
#include "core/util_random.h"
#include "core/wall_clock.h"
#include "notify/event_codes.h"
#include "notify/notify_registry.h"
#include "params/int_param.h"
#include "params/p3_list.h"
#include "params/param_table.h"

namespace {

int64_t nowSeconds() { return ticks() / 100; }

// The switches that make a recipient want mail: any of them counts, so a
// recipient of link or SD-card events alone is served too.
constexpr const char* kRecipientSwitches[] = {
    "noti_dev_", "noti_act_", "noti_stat_", "noti_pup_",
    "noti_pwr_", "noti_lnk_", "noti_sdinout_", "noti_sdunusable_",
};

// Weekday keywords of the schedule, indexed like tm_wday; 7 is every day.
constexpr const char* kWeekdays[] = {"so", "mo", "tu", "we", "th", "fr", "sa", "al"};

}  // namespace

NotifyCounters& notifyCounters() {
  static NotifyCounters counters;
  return counters;
}

Notify::Notify(ParamTable& params, NotifyMailer& mailer, NotifyTraps& traps, bool trapsConfigured,
               std::function<void()> reportCardState)
    : Task("Notify"),
      params_(params),
      mailer_(mailer),
      traps_(traps),
      trapsConfigured_(trapsConfigured),
      reportCardState_(std::move(reportCardState)) {}

Notify::~Notify() {
  if (registered_) registerEventRing(nullptr);
  if (notifyTaskId() == id() && id() > 0) setNotifyTaskId(-1);
}

bool Notify::paramOn(const char* name) const {
  const Param* p = params_.find(name);
  return p && p->isOn();
}

bool Notify::paramSet(const char* name) const {
  const Param* p = params_.find(name);
  return p && p->isSet();
}

int Notify::paramInt(const char* name, int fallback) const {
  const auto* p = params_.findAs<IntParam>(name);
  return p ? p->value() : fallback;
}

bool Notify::recipientWantsMail(int n) const {
  if (!paramSet(("mailto_" + std::to_string(n)).c_str())) return false;
  for (const char* prefix : kRecipientSwitches) {
    if (paramOn((prefix + std::to_string(n)).c_str())) return true;
  }
  return false;
}

bool Notify::checkConfiguration(bool& pop3Usable, bool& deliver, bool& restartSent) {
  pop3Usable = paramOn("pop3") && paramSet("pop3_srv") && paramSet("pop3_usr") &&
               paramSet("pop3_pwd");
  deliver = trapsConfigured_ || recipientWantsMail(1) || recipientWantsMail(2);
  const bool usable = deliver || pop3Usable;
  registerEventRing(usable ? &ring_ : nullptr);
  registered_ = usable;
  if (!restartSent && usable) {
    restartSent = true;
    traps_.sendTraps(NOTI_RESTART, ring_);
    mailer_.sendEventMail(NOTI_RESTART, ring_);
  }
  return usable;
}

bool Notify::checkStatusSchedule() {
  if (reloadSchedule_) {
    schedule_ = std::tm{};
    schedule_.tm_min = 10 * paramInt("notistat_tm", 0);
    schedule_.tm_hour = paramInt("notistat_h", 0);
    schedule_.tm_wday = 0;
    if (const auto* day = params_.findAs<P3List>("notistat_d")) {
      const std::string keyword = day->keyword();
      for (int i = 0; i < 8; ++i) {
        if (strcasecmp(keyword.c_str(), kWeekdays[i]) == 0) {
          schedule_.tm_wday = i;
          break;
        }
      }
    }
    reloadSchedule_ = false;
    return false;
  }
  std::tm now{};
  if (!localTimeNow(now) || now.tm_year + 1900 <= 2009) return false;
  const bool dayMatches = schedule_.tm_wday == 7 || schedule_.tm_wday == now.tm_wday;
  const bool inWindow = now.tm_hour == schedule_.tm_hour && now.tm_min >= schedule_.tm_min &&
                        now.tm_min <= schedule_.tm_min + 9;
  if (!dayMatches || !inWindow) return false;
  mailer_.sendEventMail(NOTI_STATUS, ring_);
  reloadSchedule_ = true;
  return true;
}

void Notify::pause(int seconds) {
  const int64_t deadline = ticks() + 100 * int64_t(seconds);
  for (;;) {
    const int64_t remaining = deadline - ticks();
    if (remaining <= 0) return;
    wait(remaining);
    if (recheck_) return;
    if (pop3Due_ != 0 && nowSeconds() > pop3Due_) return;
  }
}

int Notify::handle(TaskMessage* msg) {
  int type = Task::handle(msg);
  if (msg->type & MSG_NOTIFY) {
    const uint32_t code = static_cast<uint32_t>(msg->arg1);
    if (code == NOTI_POP3_NOW) {
      pop3Due_ = nowSeconds();
    } else if (code & kImmediateTrapEvents) {
      traps_.sendTraps(code, ring_);
    }
  }
  if (msg->type & MSG_PARAMS_CHANGED) recheck_ = true;
  return type & ~MSG_NOTIFY;
}

void Notify::applyMailChanges() {
  const int pending = mailer_.takePendingChanges();
  if (pending == 0) return;
  const int result = params_.resetModified();
  if (result & ApplySave) params_.save();
  if (result & ApplyRestart) {
    ShutDown::launch(1);
    registerEventRing(nullptr);
    registered_ = false;
    setNotifyTaskId(-1);
    mailer_.shutdown();
    exit();
  }
  if (result & ApplyBroadcast) {
    TaskMessage changed{0, MSG_PARAMS_CHANGED, 0, 0};
    broadcast(&changed);
  }
}

void Notify::run() {
  NotifyCounters& counters = notifyCounters();
  for (int i = 0; i < 2; ++i) {
    counters.mailsSent[i] = 0;
    counters.mailsFailed[i] = 0;
  }
  if (notifyTaskId() != -1) exit();
  setNotifyTaskId(id());
  newTan();
  // The configuration is checked right after the start pause, so a change
  // announced before it needs no recheck and must not cut the pause short.
  recheck_ = false;
  pause(kStartPauseSeconds);

  ring_.clearPending();
  bool restartSent = false, pop3Usable = false, deliver = false;
  recheck_ = false;
  int64_t statusDue = 0;  // in the past: due at the first round
  if (checkConfiguration(pop3Usable, deliver, restartSent)) statusDue = ticks();
  if (reportCardState_) reportCardState_();

  for (;;) {
    if (nowSeconds() >= pop3Due_) {
      mailer_.pollMailbox();
      pop3Due_ = (ticks() + 50) / 100 + 60 * int64_t(paramInt("pop3_poll", 2));
    }
    applyMailChanges();
    pause(kRoundPauseSeconds);
    if (recheck_) {
      recheck_ = false;
      if (checkConfiguration(pop3Usable, deliver, restartSent)) statusDue = ticks();
    }
    if (deliver && ring_.pendingMailBits() != 0) {
      const EventRing::MailBatch batch = ring_.pendingMail();
      mailer_.sendEventMail(batch.codes, ring_);
      ring_.markMailed(batch);
    }
    if (deliver && ticks() >= statusDue) {
      checkStatusSchedule();
      statusDue = ticks() + kStatusCheckTicks;
    }
  }
}
