#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <future>
#include <set>

#include <gtest/gtest.h>

#include "task_test_support.h"

namespace {

using namespace std::chrono_literals;

class TaskPostTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(terminateAllTasks()); }
};

int pendingBytes(const Task& task) {
  int bytes = -1;
  ioctl(task.messageFd(), FIONREAD, &bytes);
  return bytes;
}

TEST_F(TaskPostTest, PostsByIdByNameAndToAll) {
  auto bootp1 = std::make_shared<Probe>();
  auto bootp2 = std::make_shared<Probe>();
  auto other = std::make_shared<Probe>();
  int id1 = startProbe("Bootp", bootp1, ProbeTask::serveForever);
  int id2 = startProbe("Bootp", bootp2, ProbeTask::serveForever);
  int id3 = startProbe("Other", other, ProbeTask::serveForever);
  ASSERT_GT(id1, 0);
  ASSERT_GT(id2, 0);
  ASSERT_GT(id3, 0);
  EXPECT_EQ(std::set<int>({id1, id2, id3}).size(), 3u);

  TaskMessage byId = message(MSG_NOTIFY, 7, 8);
  EXPECT_EQ(postToId(id3, &byId), 0);
  EXPECT_EQ(byId.receiver, id3);
  TaskMessage byName = message(MSG_RECONNECTED, 1);
  EXPECT_EQ(postByName("Bootp", &byName), 2);
  EXPECT_EQ(postByName("bootp", &byName), 0);  // exact, case-sensitive
  TaskMessage toAll = message(MSG_PARAMS_CHANGED);
  EXPECT_EQ(broadcast(&toAll), 0);
  TaskMessage nobody = message(MSG_NOTIFY);
  EXPECT_EQ(postToId(id3 + 1000, &nobody), -1);

  ASSERT_TRUE(eventually([&] { return other->handledCount() == 2; }));
  ASSERT_TRUE(eventually([&] { return bootp1->handledCount() == 2 && bootp2->handledCount() == 2; }));
  std::vector<TaskMessage> seen = other->messages();
  EXPECT_EQ(seen[0].receiver, id3);
  EXPECT_EQ(seen[0].type, MSG_NOTIFY);
  EXPECT_EQ(seen[0].arg1, 7);
  EXPECT_EQ(seen[0].arg2, 8);
  EXPECT_EQ(seen[1].type, MSG_PARAMS_CHANGED);
  EXPECT_EQ(bootp1->messages()[0].type, MSG_RECONNECTED);
  EXPECT_EQ(bootp1->messages()[0].receiver, id1);
  EXPECT_EQ(bootp2->messages()[0].receiver, id2);
}

TEST_F(TaskPostTest, BroadcastWithoutTasksSucceeds) {
  ASSERT_EQ(listedTaskCount(), 0);
  TaskMessage msg = message(MSG_PARAMS_CHANGED);
  EXPECT_EQ(broadcast(&msg), 0);
  EXPECT_EQ(postByName("Bootp", &msg), 0);
  EXPECT_EQ(postToId(1, &msg), -1);
}

TEST_F(TaskPostTest, FullPipeFailsThePostWithoutBlockingTheTable) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto stuck = std::make_shared<Probe>();
  int stuckId = startProbe("Stuck", stuck, [released](ProbeTask& task) {
    released.wait();
    while (task.pollMessage() == 1) {
    }
  });
  auto live = std::make_shared<Probe>();
  int liveId = startProbe("Live", live, ProbeTask::serveForever);
  ASSERT_GT(stuckId, 0);
  ASSERT_GT(liveId, 0);

  // Filling the pipe must end in a failed post, not in a blocked poster.
  auto filled = std::async(std::launch::async, [stuckId] {
    int accepted = 0;
    TaskMessage msg = message(MSG_NOTIFY);
    while (postToId(stuckId, &msg) == 0) ++accepted;
    return accepted;
  });
  ASSERT_EQ(filled.wait_for(10s), std::future_status::ready);
  const int accepted = filled.get();
  EXPECT_GT(accepted, 0);

  TaskMessage more = message(MSG_NOTIFY);
  EXPECT_EQ(postByName("Stuck", &more), 0);
  EXPECT_EQ(broadcast(&more), -1);  // the live task got it, the stuck one did not
  TaskMessage toLive = message(MSG_ADDRESS_CHANGED);
  EXPECT_EQ(postToId(liveId, &toLive), 0);
  ASSERT_TRUE(eventually([&] { return live->handledCount() == 2; }));

  release.set_value();
  ASSERT_TRUE(eventually([&] { return stuck->finished.load(); }));
  // Every accepted message arrived whole; the failed ones left nothing behind.
  EXPECT_EQ(stuck->handledCount(), static_cast<size_t>(accepted));
}

TEST_F(TaskPostTest, TaskThatNeverStartedIsNeitherPostedToNorSignalled) {
  const int before = listedTaskCount();
  auto idle = std::make_shared<Probe>();
  auto* unstarted = new ProbeTask("Idle", idle, nullptr);
  EXPECT_EQ(unstarted->id(), 0);
  EXPECT_EQ(listedTaskCount(), before + 1);

  TaskMessage msg = message(MSG_PARAMS_CHANGED);
  EXPECT_EQ(postToId(0, &msg), -1);
  EXPECT_EQ(postByName("Idle", &msg), 0);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(broadcast(&msg), 0);
  EXPECT_EQ(pendingBytes(*unstarted), 0);
  // It has no thread: signalling it would crash the process.
  signalTasks(nullptr, SIGUSR1);
  signalTasks("Idle", SIGUSR1);
  EXPECT_FALSE(idle->ran.load());

  // Never started: the creator still owns it, and deleting unlists it.
  delete unstarted;
  EXPECT_TRUE(idle->destroyed.load());
  EXPECT_EQ(listedTaskCount(), before);
}

TEST_F(TaskPostTest, TaskBeyondTheSixtyFourSlotsRunsUnlisted) {
  ASSERT_EQ(TaskTable::kSlots, 64);
  ASSERT_EQ(listedTaskCount(), 0);
  auto idle = std::make_shared<Probe>();
  std::vector<std::unique_ptr<ProbeTask>> listed;
  for (int i = 0; i < TaskTable::kSlots; ++i) {
    listed.push_back(std::make_unique<ProbeTask>("Filler", idle, nullptr));
  }
  EXPECT_EQ(listedTaskCount(), 64);

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto extra = std::make_shared<Probe>();
  int extraId = startProbe("Extra", extra, [released](ProbeTask& task) {
    released.wait();
    task.pollMessage();
  });
  ASSERT_GT(extraId, 0);
  ASSERT_TRUE(eventually([&] { return extra->ran.load(); }));
  EXPECT_EQ(listedTaskCount(), 64);

  TaskMessage msg = message(MSG_NOTIFY);
  EXPECT_EQ(postToId(extraId, &msg), -1);
  EXPECT_EQ(postByName("Extra", &msg), 0);
  EXPECT_EQ(broadcast(&msg), 0);
  release.set_value();
  ASSERT_TRUE(eventually([&] { return extra->destroyed.load(); }));
  EXPECT_EQ(extra->handledCount(), 0u);

  listed.clear();
  EXPECT_EQ(listedTaskCount(), 0);
}

TEST_F(TaskPostTest, TerminateEndsUnlistsAndFreesTheTask) {
  const int descriptorsBefore = openDescriptorCount();
  auto probe = std::make_shared<Probe>();
  int id = startProbe("Victim", probe, ProbeTask::serveForever);
  ASSERT_GT(id, 0);
  EXPECT_EQ(listedTaskCount(), 1);

  TaskMessage first = message(MSG_NOTIFY);
  ASSERT_EQ(postToId(id, &first), 0);
  TaskMessage terminate = message(MSG_TERMINATE);
  ASSERT_EQ(postToId(id, &terminate), 0);
  ASSERT_TRUE(eventually([&] { return probe->destroyed.load(); }));
  ASSERT_TRUE(eventually([&] { return listedTaskCount() == 0; }));
  // The handler saw the message before, never the terminate itself.
  ASSERT_EQ(probe->handledCount(), 1u);
  EXPECT_EQ(probe->messages()[0].type, MSG_NOTIFY);
  EXPECT_FALSE(probe->finished.load());
  EXPECT_EQ(postToId(id, &first), -1);
  // Pipe and epoll descriptors are closed with the task.
  EXPECT_TRUE(eventually([&] { return openDescriptorCount() == descriptorsBefore; }));
}

TEST_F(TaskPostTest, IdsAreDistinctAndStartStampsShift) {
  auto probe = std::make_shared<Probe>();
  std::set<int> ids;
  for (int i = 0; i < 8; ++i) ids.insert(startProbe("Many", probe, ProbeTask::serveForever));
  EXPECT_EQ(ids.size(), 8u);
  EXPECT_GT(*ids.begin(), 0);

  std::vector<int64_t> before;
  TaskTable::instance().forEach([&](Task& task) { before.push_back(task.startStamp()); });
  shiftStartStamps(-12345);
  std::vector<int64_t> after;
  TaskTable::instance().forEach([&](Task& task) { after.push_back(task.startStamp()); });
  ASSERT_EQ(before.size(), 8u);
  ASSERT_EQ(after.size(), 8u);
  for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(after[i], before[i] - 12345);
}

TEST_F(TaskPostTest, CurrentTaskOutsideAndInsideATask) {
  EXPECT_EQ(currentTask(), nullptr);
  EXPECT_EQ(currentTaskId(), -1);
  EXPECT_STREQ(currentTaskName(), "NoTask");

  std::atomic<Task*> seenTask{nullptr};
  std::atomic<int> seenId{0};
  std::string seenName;
  std::atomic<int> kernelTid{0};
  auto probe = std::make_shared<Probe>();
  auto* task = new ProbeTask("Named_1", probe, [&](ProbeTask& self) {
    seenTask = currentTask();
    seenId = currentTaskId();
    seenName = currentTaskName();
    kernelTid = self.kernelThreadId();
    EXPECT_EQ(self.processId(), getpid());
    EXPECT_EQ(self.parentProcessId(), getppid());
    EXPECT_EQ(self.kernelThreadId(), gettid());
    char kernelName[16] = {};
    pthread_getname_np(pthread_self(), kernelName, sizeof kernelName);
    EXPECT_STREQ(kernelName, "Named_1");
  });
  Task* expected = task;
  int id = task->start(20480);
  ASSERT_GT(id, 0);
  ASSERT_TRUE(eventually([&] { return probe->destroyed.load(); }));
  EXPECT_EQ(seenTask.load(), expected);
  EXPECT_EQ(seenId.load(), id);
  EXPECT_EQ(seenName, "Named_1");
  EXPECT_GT(kernelTid.load(), 0);
}

TEST_F(TaskPostTest, StackIsTheLargerOfRequestAndDefault) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  size_t defaultSize = 0;
  pthread_attr_getstacksize(&attributes, &defaultSize);
  pthread_attr_destroy(&attributes);

  struct Case {
    int requested;
    size_t expected;
  };
  const int big = static_cast<int>(defaultSize) + 65536;
  for (Case c : {Case{20480, defaultSize}, Case{big, static_cast<size_t>(big)}}) {
    std::atomic<int> recorded{0};
    auto probe = std::make_shared<Probe>();
    auto* task = new ProbeTask("Stack", probe, [&](ProbeTask& self) { recorded = self.stackSize(); });
    ASSERT_GT(task->start(c.requested), 0);
    ASSERT_TRUE(eventually([&] { return probe->destroyed.load(); }));
    EXPECT_EQ(static_cast<size_t>(recorded.load()), c.expected) << c.requested;
  }
}

std::atomic<int> usr1Hits{0};
std::atomic<pid_t> usr1LastThread{0};

void onUsr1(int) {
  usr1Hits.fetch_add(1);
  usr1LastThread.store(gettid());
}

TEST_F(TaskPostTest, SignalTasksReachesOthersButNotTheCaller) {
  struct sigaction action{};
  action.sa_handler = onUsr1;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

  // A signal breaks the other tasks' waits (result 0), which end them here.
  auto other = std::make_shared<Probe>();
  auto named = std::make_shared<Probe>();
  std::atomic<int> otherResult{-1};
  std::atomic<int> namedResult{-1};
  ASSERT_GT(startProbe("Other", other, [&](ProbeTask& t) { otherResult = t.wait(2000); }), 0);
  ASSERT_GT(startProbe("Named", named, [&](ProbeTask& t) { namedResult = t.wait(2000); }), 0);
  ASSERT_TRUE(eventually([&] { return other->ran.load() && named->ran.load(); }));

  std::atomic<int> callerResult{-1};
  std::atomic<pid_t> callerTid{0};
  ASSERT_TRUE(runInTask([&](ProbeTask& self) {
    callerTid = gettid();
    signalTasks("Named", SIGUSR1);
    EXPECT_TRUE(eventually([&] { return named->destroyed.load(); }));
    EXPECT_FALSE(other->destroyed.load());
    signalTasks(nullptr, SIGUSR1);
    callerResult = self.wait(10);  // not interrupted: a time-out
  }));
  ASSERT_TRUE(eventually([&] { return other->destroyed.load(); }));
  EXPECT_EQ(namedResult.load(), 0);
  EXPECT_EQ(otherResult.load(), 0);
  EXPECT_EQ(callerResult.load(), 1);
  EXPECT_EQ(usr1Hits.load(), 2);
  EXPECT_NE(usr1LastThread.load(), callerTid.load());
  signal(SIGUSR1, SIG_DFL);
}

}  // namespace
