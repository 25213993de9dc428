#include "core/shutdown_task.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/run_state.h"
#include "task_test_support.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The stop happens once per process, so every scenario runs in a child
// process of its own; it reports its first failed check on stderr.
#define SCENARIO_CHECK(cond)                                                          \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "check failed at line %d: %s\n", __LINE__, #cond);         \
      std::fflush(stderr);                                                            \
      _exit(1);                                                                       \
    }                                                                                 \
  } while (0)

std::atomic<int> showCalls{0};
std::atomic<int> shownCode{0};
std::atomic<int64_t> shownAtNs{0};

int64_t nowNs() { return SteadyClock::now().time_since_epoch().count(); }

void recordShow(char c1, char c2, int flags) {
  showCalls.fetch_add(1);
  shownCode.store((c1 << 16) | (c2 << 8) | flags);
  shownAtNs.store(nowNs());
}

std::atomic<int> sigtermTotal{0};
thread_local int sigtermsHere = 0;

void onSigterm(int) {
  sigtermTotal.fetch_add(1);
  ++sigtermsHere;
}

void prepareProcess() {
  struct sigaction action{};
  action.sa_handler = onSigterm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  setStatusShowHook(recordShow);
}

// A task that never reads its pipe; it only learns of the stop by SIGTERM.
struct Deaf {
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  std::atomic<int> sigterms{-1};
  std::atomic<int> pendingMessages{-1};

  int start() {
    return startProbe("Deaf", probe, [this](ProbeTask& self) {
      int never[2];
      if (pipe(never) != 0) return;
      pollfd fd{never[0], POLLIN, 0};
      while (sigtermsHere == 0) ::poll(&fd, 1, -1);
      int bytes = 0;
      ioctl(self.messageFd(), FIONREAD, &bytes);
      pendingMessages = bytes / static_cast<int>(sizeof(TaskMessage));
      sigterms = sigtermsHere;
      close(never[0]);
      close(never[1]);
    });
  }
};

// A task that serves its messages until MSG_TERMINATE ends it.
struct Listener {
  std::shared_ptr<Probe> probe = std::make_shared<Probe>();
  std::atomic<int64_t> endedAtNs{0};

  int start() {
    return startProbe("Listener", probe, [](ProbeTask& self) { ProbeTask::serveForever(self); });
  }
  bool awaitEnd() {
    bool ended = eventually([&] { return probe->destroyed.load(); }, 10000ms);
    endedAtNs = nowNs();
    return ended;
  }
};

TEST(ShutDownTest, TwoShutDownsStopOnce) {
  EXPECT_EXIT(
      {
        prepareProcess();
        Deaf deaf;
        Listener listener;
        SCENARIO_CHECK(deaf.start() > 0);
        SCENARIO_CHECK(listener.start() > 0);
        SCENARIO_CHECK(ShutDown::launch(0) > 0);
        SCENARIO_CHECK(ShutDown::launch(0) > 0);
        SCENARIO_CHECK(listener.awaitEnd());
        SCENARIO_CHECK(eventually([&] { return listedTaskCount() == 0; }, 10000ms));
        SCENARIO_CHECK(showCalls.load() == 1);
        SCENARIO_CHECK(shownCode.load() == (('R' << 16) | ('S' << 8) | 0x30));
        SCENARIO_CHECK(runState().shutdowns.load() == 2);
        // One broadcast and one SIGTERM reached the deaf task.
        SCENARIO_CHECK(deaf.pendingMessages.load() == 1);
        SCENARIO_CHECK(deaf.sigterms.load() == 1);
        SCENARIO_CHECK(listener.probe->handledCount() == 0);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ShutDownTest, DelayIsWaitedOutWhileMessagesArrive) {
  EXPECT_EXIT(
      {
        prepareProcess();
        Listener listener;
        SCENARIO_CHECK(listener.start() > 0);
        SCENARIO_CHECK(ShutDown::launch(1) > 0);
        SCENARIO_CHECK(eventually([] { return showCalls.load() == 1; }));
        // Wake-bit messages would end a plain Task::wait early.
        std::atomic<bool> stop{false};
        std::thread poster([&] {
          while (!stop.load()) {
            TaskMessage params{};
            params.type = MSG_PARAMS_CHANGED;
            postByName("ShutDown", &params);
            params.type = MSG_NOTIFY;
            postByName("ShutDown", &params);
            std::this_thread::sleep_for(20ms);
          }
        });
        bool ended = listener.awaitEnd();
        stop = true;
        poster.join();
        SCENARIO_CHECK(ended);
        double delay = (listener.endedAtNs.load() - shownAtNs.load()) / 1e9;
        SCENARIO_CHECK(delay >= 1.0);
        SCENARIO_CHECK(delay < 2.0);
        SCENARIO_CHECK(eventually([] { return runState().shutdowns.load() == 1; }, 5000ms));
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ShutDownTest, ZeroDelayBroadcastsAtOnce) {
  EXPECT_EXIT(
      {
        prepareProcess();
        Listener listener;
        SCENARIO_CHECK(listener.start() > 0);
        SCENARIO_CHECK(ShutDown::launch(0) > 0);
        SCENARIO_CHECK(listener.awaitEnd());
        double delay = (listener.endedAtNs.load() - shownAtNs.load()) / 1e9;
        SCENARIO_CHECK(delay < 0.5);
        SCENARIO_CHECK(eventually([] { return listedTaskCount() == 0; }, 5000ms));
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ShutDownTest, WithoutADisplayHookTheStopStillRuns) {
  EXPECT_EXIT(
      {
        prepareProcess();
        setStatusShowHook(nullptr);
        Listener listener;
        SCENARIO_CHECK(listener.start() > 0);
        SCENARIO_CHECK(ShutDown::launch(0) > 0);
        SCENARIO_CHECK(listener.awaitEnd());
        SCENARIO_CHECK(showCalls.load() == 0);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(ShutDownStress, ManyShutDownsStartedTogetherStopOnce) {
  EXPECT_EXIT(
      {
        prepareProcess();
        Deaf deaf;
        SCENARIO_CHECK(deaf.start() > 0);
        constexpr int kStarters = 8;
        std::atomic<int> ready{0};
        std::vector<std::thread> starters;
        for (int i = 0; i < kStarters; ++i) {
          starters.emplace_back([&] {
            ready.fetch_add(1);
            while (ready.load() < kStarters) {
            }
            ShutDown::launch(0);
          });
        }
        for (auto& starter : starters) starter.join();
        SCENARIO_CHECK(eventually([] { return listedTaskCount() == 0; }, 10000ms));
        SCENARIO_CHECK(showCalls.load() == 1);
        SCENARIO_CHECK(runState().shutdowns.load() == kStarters);
        SCENARIO_CHECK(deaf.sigterms.load() == 1);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
