#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "task_test_support.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

class TaskWaitTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(terminateAllTasks()); }
};

// A pipe owned by a test.
struct TestPipe {
  int read = -1;
  int write = -1;
  TestPipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~TestPipe() {
    if (read >= 0) close(read);
    if (write >= 0) close(write);
  }
  void fill() const { EXPECT_EQ(::write(write, "x", 1), 1); }
};

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Runs body on a task whose handler keeps `keepBits` of each message.
bool runInTaskKeeping(int32_t keepBits, std::shared_ptr<Probe> probe,
                      std::function<void(ProbeTask&)> body) {
  if (startProbe("Waiter", probe, std::move(body), keepBits) < 0) return false;
  return eventually([&] { return probe->destroyed.load(); }, 20000ms);
}

TEST_F(TaskWaitTest, ZeroTimeoutPollsPendingMessages) {
  auto probe = std::make_shared<Probe>();
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [](ProbeTask& self) {
    EXPECT_EQ(self.wait(0, -1), 1);  // nothing pending
    TaskMessage params = message(MSG_PARAMS_CHANGED);
    ASSERT_EQ(self.post(&params), 0);
    EXPECT_EQ(self.wait(0, -1), 2);  // the handler kept 0x4000
    EXPECT_EQ(self.wait(0, -1), 1);
  }));
  EXPECT_EQ(probe->handledCount(), 1u);
}

TEST_F(TaskWaitTest, ClearedBitsDoNotEndTheWaitAndTheTimeLimitHolds) {
  auto probe = std::make_shared<Probe>();
  std::atomic<int> waiterId{0};
  std::atomic<bool> stopPosting{false};
  std::thread poster([&] {
    eventually([&] { return waiterId.load() > 0; });
    while (!stopPosting.load()) {
      TaskMessage params = message(MSG_PARAMS_CHANGED);
      postToId(waiterId.load(), &params);
      std::this_thread::sleep_for(20ms);
    }
  });
  double elapsed = 0;
  int result = -1;
  // The handler clears every bit: the messages are served but never wake.
  ASSERT_TRUE(runInTaskKeeping(0, probe, [&](ProbeTask& self) {
    waiterId = self.id();
    auto start = SteadyClock::now();
    result = self.wait(30);
    elapsed = secondsSince(start);
    stopPosting = true;
  }));
  poster.join();
  EXPECT_EQ(result, 1);
  // Served messages neither cut the wait short nor restart its time.
  EXPECT_GE(elapsed, 0.30);
  EXPECT_LT(elapsed, 1.0);
  EXPECT_GE(probe->handledCount(), 5u);
}

TEST_F(TaskWaitTest, WakeBitEndsAnUnlimitedWait) {
  struct Case {
    int32_t type;
    int32_t keep;
    int expected;
  };
  // 0x1000 is not a wake bit: only the time-out ends that wait.
  for (Case c : {Case{MSG_PARAMS_CHANGED, -1, 2}, Case{MSG_NOTIFY, -1, 2}, Case{MSG_RECONNECTED, -1, 2},
                 Case{MSG_ADDRESS_CHANGED, -1, 1}, Case{MSG_NOTIFY, ~MSG_NOTIFY, 1}}) {
    auto probe = std::make_shared<Probe>();
    TestPipe extra;
    std::atomic<int> id{0};
    std::thread poster([&] {
      eventually([&] { return id.load() > 0; });
      std::this_thread::sleep_for(20ms);
      TaskMessage msg = message(c.type);
      postToId(id.load(), &msg);
    });
    int result = -1;
    ASSERT_TRUE(runInTaskKeeping(c.keep, probe, [&](ProbeTask& self) {
      id = self.id();
      result = self.wait(c.expected == 2 ? -1 : 50, extra.read);
    }));
    poster.join();
    EXPECT_EQ(result, c.expected) << std::hex << c.type;
    EXPECT_EQ(probe->handledCount(), 1u);
  }
}

TEST_F(TaskWaitTest, ExtraDescriptorEndsTheWait) {
  TestPipe extra;
  std::atomic<bool> waiting{false};
  std::thread writer([&] {
    eventually([&] { return waiting.load(); });
    std::this_thread::sleep_for(30ms);
    extra.fill();
  });
  auto probe = std::make_shared<Probe>();
  int result = -1;
  double elapsed = 0;
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [&](ProbeTask& self) {
    auto start = SteadyClock::now();
    waiting = true;
    result = self.wait(-1, extra.read);
    elapsed = secondsSince(start);
  }));
  writer.join();
  EXPECT_EQ(result, 3);
  EXPECT_GE(elapsed, 0.025);
}

TEST_F(TaskWaitTest, DescriptorZeroMeansNone) {
  // Put a readable pipe on descriptor 0: a wait that watched it would end at once.
  TestPipe readable;
  readable.fill();
  int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  ASSERT_EQ(dup2(readable.read, 0), 0);
  auto probe = std::make_shared<Probe>();
  int result = -1;
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [&](ProbeTask& self) { result = self.wait(5, 0); }));
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_EQ(result, 1);
}

TEST_F(TaskWaitTest, DescriptorsAbove1023AreWatched) {
  TestPipe extra;
  const int high = fcntl(extra.read, F_DUPFD_CLOEXEC, 1500);
  ASSERT_GE(high, 1500);
  extra.fill();
  auto probe = std::make_shared<Probe>();
  int result = -1;
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [&](ProbeTask& self) { result = self.wait(100, high); }));
  close(high);
  EXPECT_EQ(result, 3);
}

TEST_F(TaskWaitTest, PollMessageHandlesOnlyWhatIsPending) {
  auto probe = std::make_shared<Probe>();
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [](ProbeTask& self) {
    EXPECT_EQ(self.pollMessage(), 0);
    TaskMessage a = message(MSG_NOTIFY, 1);
    TaskMessage b = message(MSG_NOTIFY, 2);
    ASSERT_EQ(self.post(&a), 0);
    ASSERT_EQ(self.post(&b), 0);
    EXPECT_EQ(self.pollMessage(), 1);
    EXPECT_EQ(self.pollMessage(), 1);
    EXPECT_EQ(self.pollMessage(), 0);
  }));
  ASSERT_EQ(probe->handledCount(), 2u);
  EXPECT_EQ(probe->messages()[0].arg1, 1);
  EXPECT_EQ(probe->messages()[1].arg1, 2);
}

TEST_F(TaskWaitTest, TerminateEndsTheThreadInsideAWait) {
  auto probe = std::make_shared<Probe>();
  std::atomic<bool> returned{false};
  int id = startProbe("Waiter", probe, [&](ProbeTask& self) {
    self.wait(-1);
    returned = true;
  });
  ASSERT_GT(id, 0);
  TaskMessage terminate = message(MSG_TERMINATE);
  ASSERT_EQ(postToId(id, &terminate), 0);
  ASSERT_TRUE(eventually([&] { return probe->destroyed.load(); }));
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(probe->handledCount(), 0u);
}

// An object with two watched pipes whose callback may delete it.
struct Owner {
  TestPipe first;
  TestPipe second;
  FdWatch firstWatch;
  FdWatch secondWatch;
  std::atomic<int>* calls;
  bool finishOnEvent;

  Owner(std::atomic<int>* counter, bool finish) : calls(counter), finishOnEvent(finish) {
    firstWatch = FdWatch{this, &Owner::onReadable, first.read};
    secondWatch = FdWatch{this, &Owner::onReadable, second.read};
  }

  static int onReadable(FdWatch* watch, uint32_t) {
    Owner* owner = static_cast<Owner*>(watch->owner);
    owner->calls->fetch_add(1);
    if (owner->finishOnEvent) {
      delete owner;  // frees both watches
      return -1;
    }
    char byte;
    EXPECT_EQ(read(watch->fd, &byte, 1), 1);
    return 0;
  }
};

TEST_F(TaskWaitTest, DispatchSkipsTheWatchesOfAFinishedOwner) {
  std::atomic<int> finishingCalls{0};
  std::atomic<int> otherCalls{0};
  auto probe = std::make_shared<Probe>();
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [&](ProbeTask& self) {
    auto* finishing = new Owner(&finishingCalls, true);
    auto* other = new Owner(&otherCalls, false);
    for (Owner* o : {finishing, other}) {
      ASSERT_EQ(self.addWatch(&o->firstWatch, EPOLLIN), 0);
      ASSERT_EQ(self.addWatch(&o->secondWatch, EPOLLIN), 0);
      o->first.fill();
      o->second.fill();
    }
    // Four events in one pass; the finished owner's second record is freed
    // memory by the time its event comes up.
    EXPECT_EQ(self.dispatch(1000), 4);
    EXPECT_EQ(finishingCalls.load(), 1);
    EXPECT_EQ(otherCalls.load(), 2);
    EXPECT_EQ(self.removeWatch(other->first.read), 0);
    EXPECT_EQ(self.removeWatch(other->second.read), 0);
    EXPECT_EQ(self.removeWatch(other->second.read), -1);
    delete other;
  }));
}

TEST_F(TaskWaitTest, DispatchServesMessagesWatchesAndTimeouts) {
  auto probe = std::make_shared<Probe>();
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [&](ProbeTask& self) {
    auto start = SteadyClock::now();
    EXPECT_EQ(self.dispatch(30), 0);
    EXPECT_GE(secondsSince(start), 0.025);

    TaskMessage msg = message(MSG_NOTIFY, 42);
    ASSERT_EQ(self.post(&msg), 0);
    EXPECT_EQ(self.dispatch(1000), 1);  // the pipe watch reads it

    // A disabled watch (null owner) is not called.
    std::atomic<int> calls{0};
    Owner owner(&calls, false);
    owner.firstWatch.owner = nullptr;
    ASSERT_EQ(self.addWatch(&owner.firstWatch, EPOLLIN), 0);
    owner.first.fill();
    EXPECT_EQ(self.dispatch(1000), 1);
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(self.removeWatch(owner.first.read), 0);
  }));
  ASSERT_EQ(probe->handledCount(), 1u);
  EXPECT_EQ(probe->messages()[0].arg1, 42);
}

TEST_F(TaskWaitTest, DispatchTakesAtMostFourEventsPerPass) {
  auto probe = std::make_shared<Probe>();
  ASSERT_TRUE(runInTaskKeeping(-1, probe, [&](ProbeTask& self) {
    std::atomic<int> calls{0};
    std::vector<std::unique_ptr<Owner>> owners;
    for (int i = 0; i < 3; ++i) {
      owners.push_back(std::make_unique<Owner>(&calls, false));
      ASSERT_EQ(self.addWatch(&owners.back()->firstWatch, EPOLLIN), 0);
      ASSERT_EQ(self.addWatch(&owners.back()->secondWatch, EPOLLIN), 0);
      owners.back()->first.fill();
      owners.back()->second.fill();
    }
    EXPECT_EQ(self.dispatch(1000), 4);
    EXPECT_EQ(self.dispatch(1000), 2);
    EXPECT_EQ(self.dispatch(0), 0);
    EXPECT_EQ(calls.load(), 6);
  }));
}

}  // namespace
