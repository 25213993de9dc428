#pragma once
// Notify: the one task through which the appliance reports about itself.
// Producers store events in its ring (notify_registry.h); the task sends the
// traps at once and, each round, one event mail for everything that
// accumulated. It also polls the mailbox for mail commands, sends the
// scheduled status mail and applies parameter changes made by mail.
//
// Everything but the ring is touched only by the task's own thread (its
// message handler runs on it inside Task::wait); the ring has its own lock.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>

#include "core/task.h"
#include "notify/event_ring.h"

class ParamTable;

// The mail client: sending event mails, polling the mailbox for commands.
class NotifyMailer {
 public:
  virtual ~NotifyMailer() = default;
  virtual void pollMailbox() = 0;
  // One event mail for the event kinds in `codes`; the sections read the ring.
  virtual void sendEventMail(uint32_t codes, const EventRing& ring) = 0;
  // The result bits of applying what a set-parameters mail changed (0: none);
  // taking them clears them.
  virtual int takePendingChanges() = 0;
  virtual void shutdown() = 0;
};

// The trap sender: the restart trap (NOTI_RESTART) or the pending events.
class NotifyTraps {
 public:
  virtual ~NotifyTraps() = default;
  virtual void sendTraps(uint32_t code, EventRing& ring) = 0;
};

// Counters the notification page shows; index 0 and 1 are recipient or
// trap sink 1 and 2.
struct NotifyCounters {
  std::atomic<int> mailsSent[2]{};
  std::atomic<int> mailsFailed[2]{};
  std::atomic<int> trapsSent[2]{{-1}, {-1}};  // -1: the sink is not configured
};
NotifyCounters& notifyCounters();

class Notify : public Task {
 public:
  static constexpr int kStackSize = 20480;
  static constexpr int kStartPauseSeconds = 15;
  static constexpr int kRoundPauseSeconds = 30;
  static constexpr int64_t kStatusCheckTicks = 36000;

  // `reportCardState` hands a card found before the task existed to the
  // storage medium (empty on products without an SD card).
  Notify(ParamTable& params, NotifyMailer& mailer, NotifyTraps& traps, bool trapsConfigured,
         std::function<void()> reportCardState = {});
  ~Notify() override;

  void run() override;
  int handle(TaskMessage* msg) override;

  // The configuration check; registers the ring when there is something to
  // deliver or poll. Returns deliver || pop3Usable.
  bool checkConfiguration(bool& pop3Usable, bool& deliver, bool& restartSent);
  // The status-mail schedule; true when the status mail went out.
  bool checkStatusSchedule();
  // Pauses for `seconds`, serving messages; ends early on a recheck request
  // or when the mailbox poll is due.
  void pause(int seconds);

  EventRing& ring() { return ring_; }
  int64_t pop3DueSeconds() const { return pop3Due_; }

 private:
  bool paramOn(const char* name) const;
  bool paramSet(const char* name) const;
  int paramInt(const char* name, int fallback) const;
  bool recipientWantsMail(int n) const;
  void applyMailChanges();

  ParamTable& params_;
  NotifyMailer& mailer_;
  NotifyTraps& traps_;
  const bool trapsConfigured_;
  std::function<void()> reportCardState_;
  EventRing ring_;
  bool reloadSchedule_ = true;
  bool recheck_ = true;
  std::tm schedule_{};  // minute, hour and weekday (7: every day)
  int64_t pop3Due_ = 0;  // seconds of the tick clock
  bool registered_ = false;
};
