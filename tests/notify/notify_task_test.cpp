#include "notify/notify_task.h"

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/task_table.h"
#include "core/tick_clock.h"
#include "core/wall_clock.h"
#include "notify/event_codes.h"
#include "notify/notify_registry.h"
#include "params/int_param.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/param_table.h"
#include "params/string_param.h"

namespace {

constexpr Choice kWeekdays[] = {{"al", "", ""}, {"mo", "", ""}, {"tu", "", ""}, {"we", "", ""},
                                {"th", "", ""}, {"fr", "", ""}, {"sa", "", ""}, {"su", "", ""}};

class FakeMailer : public NotifyMailer {
 public:
  void pollMailbox() override { ++polls; }
  void sendEventMail(uint32_t codes, const EventRing&) override { mails.push_back(codes); }
  int takePendingChanges() override { return std::exchange(pending, 0); }
  void shutdown() override {}
  std::vector<uint32_t> mails;
  int polls = 0;
  int pending = 0;
};

class FakeTraps : public NotifyTraps {
 public:
  void sendTraps(uint32_t code, EventRing&) override { traps.push_back(code); }
  std::vector<uint32_t> traps;
};

// A parameter table with the notification settings, and fakes for the mail
// and trap sides.
struct NotifySetup {
  NotifySetup() {
    table.add<OnOffParam>("pop3", false, 0);
    for (const char* name : {"pop3_srv", "pop3_usr", "pop3_pwd"}) table.add<StringParam>(name, "", 0, 128, 0);
    table.add<IntParam>("pop3_poll", 2, 1, 10080, 0);
    table.addFamily<StringParam, 2>("mailto_", "", 0, 64, 0);
    for (const char* family : {"noti_dev_", "noti_act_", "noti_pwr_", "noti_lnk_", "noti_sdinout_",
                               "noti_sdunusable_", "noti_stat_", "noti_pup_"}) {
      table.addFamily<OnOffParam, 2>(family, false, 0);
    }
    table.add<P3List>("notistat_d", "al", kWeekdays, 0);
    table.add<IntParam>("notistat_h", 0, 0, 23, 0);
    table.add<IntParam>("notistat_tm", 0, 0, 5, 0);
  }
  ~NotifySetup() {
    registerEventRing(nullptr);
    setWallClockSource({});
  }
  void set(const char* name, const char* value) { ASSERT_TRUE(table.find(name)->setFromText(value)) << name; }
  std::unique_ptr<Notify> makeNotify(bool trapsConfigured = false) {
    return std::make_unique<Notify>(table, mailer, traps, trapsConfigured);
  }

  ParamTable table;
  FakeMailer mailer;
  FakeTraps traps;
};

class NotifyTest : public ::testing::Test, protected NotifySetup {};

TEST_F(NotifyTest, ConfigurationDecidesDeliveryAndPolling) {
  struct Row {
    const char* what;
    std::vector<std::pair<const char*, const char*>> settings;
    bool trapsConfigured;
    bool deliver;
    bool pop3;
  };
  const std::vector<Row> rows = {
      {"nothing configured", {}, false, false, false},
      {"a trap sink", {}, true, true, false},
      {"recipient without switches", {{"mailto_1", "a@b.example"}}, false, false, false},
      {"recipient of device events", {{"mailto_1", "a@b.example"}, {"noti_dev_1", "on"}}, false, true, false},
      {"switch of the other recipient", {{"mailto_1", "a@b.example"}, {"noti_dev_2", "on"}}, false, false, false},
      {"link events alone", {{"mailto_2", "a@b.example"}, {"noti_lnk_2", "on"}}, false, true, false},
      {"pop3 half configured", {{"pop3", "on"}, {"pop3_srv", "mail"}}, false, false, false},
      {"pop3 complete",
       {{"pop3", "on"}, {"pop3_srv", "mail"}, {"pop3_usr", "u"}, {"pop3_pwd", "p"}}, false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    NotifySetup fresh;
    for (const auto& [name, value] : row.settings) fresh.set(name, value);
    auto notify = fresh.makeNotify(row.trapsConfigured);
    bool pop3 = false, deliver = false, restartSent = false;
    const bool usable = notify->checkConfiguration(pop3, deliver, restartSent);
    EXPECT_EQ(deliver, row.deliver);
    EXPECT_EQ(pop3, row.pop3);
    EXPECT_EQ(usable, row.deliver || row.pop3);
    EXPECT_EQ(postEvent(NOTI_USB_ATTACHED, 1), usable) << "producers reach the ring only when usable";
    EXPECT_EQ(restartSent, usable);
    EXPECT_EQ(fresh.mailer.mails, usable ? std::vector<uint32_t>{NOTI_RESTART} : std::vector<uint32_t>{});
    EXPECT_EQ(fresh.traps.traps, usable ? std::vector<uint32_t>{NOTI_RESTART} : std::vector<uint32_t>{});
  }
}

TEST_F(NotifyTest, RestartIsReportedOnceWhenARecipientAppearsLater) {
  auto notify = makeNotify();
  bool pop3 = false, deliver = false, restartSent = false;
  EXPECT_FALSE(notify->checkConfiguration(pop3, deliver, restartSent));
  set("mailto_1", "ops@example.org");
  set("noti_pup_1", "on");
  EXPECT_TRUE(notify->checkConfiguration(pop3, deliver, restartSent));
  EXPECT_TRUE(notify->checkConfiguration(pop3, deliver, restartSent));
  EXPECT_EQ(mailer.mails, std::vector<uint32_t>{NOTI_RESTART});
  EXPECT_EQ(traps.traps, std::vector<uint32_t>{NOTI_RESTART});
}

TEST_F(NotifyTest, ARingThatGoesAwayIsUnregistered) {
  set("mailto_1", "ops@example.org");
  set("noti_act_1", "on");
  auto notify = makeNotify();
  bool pop3 = false, deliver = false, restartSent = false;
  notify->checkConfiguration(pop3, deliver, restartSent);
  EXPECT_TRUE(postEvent(NOTI_USB_CONNECTED, 2, "m", "p", "s", "u"));
  notify.reset();
  EXPECT_FALSE(postEvent(NOTI_USB_CONNECTED, 2, "m", "p", "s", "u"));
}

TEST_F(NotifyTest, MessagesSendTrapsAtOnceAndAskForARecheck) {
  auto notify = makeNotify();
  struct Row { int type; uint32_t code; std::vector<uint32_t> traps; int returned; };
  const Row rows[] = {
      {MSG_NOTIFY, NOTI_USB_ATTACHED, {NOTI_USB_ATTACHED}, 0},
      {MSG_NOTIFY, NOTI_LINK, {NOTI_LINK}, 0},
      {MSG_NOTIFY, NOTI_SD_OUT, {NOTI_SD_OUT}, 0},
      {MSG_NOTIFY, NOTI_STATUS, {}, 0},
      {MSG_PARAMS_CHANGED, 0, {}, MSG_PARAMS_CHANGED},
  };
  for (const Row& row : rows) {
    traps.traps.clear();
    TaskMessage message{0, row.type, static_cast<int32_t>(row.code), 0};
    EXPECT_EQ(notify->handle(&message), row.returned);
    EXPECT_EQ(traps.traps, row.traps);
  }
}

TEST_F(NotifyTest, PollNowMakesTheMailboxPollDue) {
  auto notify = makeNotify();
  TaskMessage message{0, MSG_NOTIFY, static_cast<int32_t>(NOTI_POP3_NOW), 0};
  notify->handle(&message);
  EXPECT_GT(notify->pop3DueSeconds(), -1);
  EXPECT_LE(notify->pop3DueSeconds(), ticks() / 100);
}

std::time_t localTime(int year, int month, int day, int hour, int minute) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST_F(NotifyTest, StatusMailGoesOutOncePerWindow) {
  set("notistat_h", "7");
  set("notistat_tm", "3");
  struct Row { const char* what; const char* day; std::time_t now; bool mailed; };
  // 2024-03-04 is a Monday.
  const Row rows[] = {
      {"daily, window start", "al", localTime(2024, 3, 4, 7, 30), true},
      {"daily, window end", "al", localTime(2024, 3, 4, 7, 39), true},
      {"daily, after the window", "al", localTime(2024, 3, 4, 7, 40), false},
      {"daily, wrong hour", "al", localTime(2024, 3, 4, 8, 31), false},
      {"monday on a monday", "mo", localTime(2024, 3, 4, 7, 35), true},
      {"tuesday on a monday", "tu", localTime(2024, 3, 4, 7, 35), false},
      {"clock before 2010", "al", localTime(2009, 3, 2, 7, 35), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    set("notistat_d", row.day);
    mailer.mails.clear();
    auto notify = makeNotify();
    const std::time_t now = row.now;
    setWallClockSource([now] { return now; });
    EXPECT_FALSE(notify->checkStatusSchedule()) << "the first check loads the schedule";
    EXPECT_EQ(notify->checkStatusSchedule(), row.mailed);
    if (row.mailed) {
      EXPECT_EQ(mailer.mails, std::vector<uint32_t>{NOTI_STATUS});
      EXPECT_FALSE(notify->checkStatusSchedule()) << "reloads after a status mail";
    }
  }
}

TEST_F(NotifyTest, TheTaskEndsOnTerminateAndClearsItsId) {
  const int before = listedTaskCount();
  auto* notify = new Notify(table, mailer, traps, false);
  ASSERT_GT(notify->start(Notify::kStackSize), 0);
  for (int i = 0; i < 200 && notifyTaskId() < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const int id = notifyTaskId();
  ASSERT_GT(id, 0);
  EXPECT_TRUE(notifyEvent(NOTI_USB_ATTACHED));
  TaskMessage terminate{0, MSG_TERMINATE, 0, 0};
  postToId(id, &terminate);
  // The task is unlisted first and deleted right after.
  for (int i = 0; i < 400 && (listedTaskCount() > before || notifyTaskId() != -1); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(listedTaskCount(), before);
  EXPECT_EQ(notifyTaskId(), -1);
  EXPECT_FALSE(notifyEvent(NOTI_USB_ATTACHED));
}

}  // namespace
