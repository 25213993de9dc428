#include <signal.h>

#include <mutex>
#include <random>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "task_test_support.h"

namespace {

using namespace std::chrono_literals;

void ignoreSignal(int) {}

// Tasks start and end while other threads post, signal and walk the table.
TEST(TaskTableStress, PostsAndSignalsWhileTasksComeAndGo) {
  struct sigaction action{};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

  std::atomic<bool> stop{false};
  std::atomic<int> lastId{0};
  std::vector<std::thread> busy;
  for (int t = 0; t < 4; ++t) {
    busy.emplace_back([&, t] {
      std::mt19937 random(t);
      while (!stop.load()) {
        TaskMessage msg = message(MSG_NOTIFY, t);
        switch (random() % 6) {
          case 0: broadcast(&msg); break;
          case 1: postByName("Churn", &msg); break;
          case 2: postToId(lastId.load(), &msg); break;
          case 3: signalTasks("Churn", SIGUSR1); break;
          case 4: shiftStartStamps(1); break;
          default: TaskTable::instance().forEach([](Task& task) { (void)task.name(); }); break;
        }
      }
    });
  }

  // At most 20 churning tasks live at a time, so all of them stay listed.
  std::vector<std::shared_ptr<Probe>> probes;
  std::vector<int> ids;
  for (int round = 0; round < 150; ++round) {
    auto probe = std::make_shared<Probe>();
    probes.push_back(probe);
    int id = startProbe("Churn", probe, ProbeTask::serveForever);
    ASSERT_GT(id, 0);
    ids.push_back(id);
    lastId = id;
    if (round >= 20) {
      TaskMessage terminate = message(MSG_TERMINATE);
      // The pipe of a task may be full for a moment; it reads on.
      ASSERT_TRUE(eventually([&] { return postToId(ids[round - 20], &terminate) == 0; }));
      ASSERT_TRUE(eventually([&] { return probes[round - 20]->destroyed.load(); }));
    }
    if (round % 10 == 0) std::this_thread::sleep_for(1ms);
  }
  stop = true;
  for (auto& thread : busy) thread.join();
  ASSERT_TRUE(terminateAllTasks());
  for (auto& probe : probes) EXPECT_TRUE(eventually([&] { return probe->destroyed.load(); }));
  signal(SIGUSR1, SIG_DFL);
}

TEST(TaskTableStress, ConcurrentStartsGetDistinctIds) {
  std::mutex mutex;
  std::set<int> ids;
  std::vector<std::thread> starters;
  std::vector<std::shared_ptr<Probe>> probes(4 * 40);
  for (auto& probe : probes) probe = std::make_shared<Probe>();
  for (int t = 0; t < 4; ++t) {
    starters.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        // Short-lived: returns at once, so the table never fills up.
        int id = startProbe("Quick", probes[t * 40 + i], nullptr);
        std::lock_guard<std::mutex> lock(mutex);
        ids.insert(id);
      }
    });
  }
  for (auto& starter : starters) starter.join();
  EXPECT_EQ(ids.size(), probes.size());
  EXPECT_GT(*ids.begin(), 0);
  for (auto& probe : probes) EXPECT_TRUE(eventually([&] { return probe->destroyed.load(); }));
  EXPECT_TRUE(eventually([] { return listedTaskCount() == 0; }));
}

}  // namespace
