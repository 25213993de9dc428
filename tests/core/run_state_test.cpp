#include "core/run_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/standard_fds.h"
#include "core/tick_clock.h"

namespace {

TEST(RunStateTest, InitialValues) {
  RunState fresh;
  EXPECT_EQ(fresh.kickOff.load(), -1);
  EXPECT_EQ(fresh.exitCode.load(), 0);
  EXPECT_EQ(fresh.shutdowns.load(), 0);
  EXPECT_EQ(fresh.sigInts.load(), 0);
  EXPECT_EQ(fresh.stopStamp(), 0);
  EXPECT_EQ(fresh.httpPort.load(), -1);
  EXPECT_EQ(fresh.httpsPort.load(), -1);
  EXPECT_EQ(fresh.snmpPort.load(), -1);
  EXPECT_EQ(fresh.mainInterface.load(), nullptr);
}

TEST(RunStateTest, KickOffFromTheEnvironmentText) {
  struct Case {
    const char* text;
    int expected;
  };
  for (Case c : {Case{nullptr, -1}, Case{"", -1}, Case{"0", 0}, Case{"3", 3}, Case{"12x", -1},
                 Case{"abc", -1}, Case{"99999999999", -1}}) {
    EXPECT_EQ(parseKickOff(c.text), c.expected) << (c.text ? c.text : "(unset)");
  }
}

TEST(RunStateTest, StopSignalsAreCountedAndStampedInTicks) {
  RunState state;
  // A counter with a far-away origin: the stamp must still be in its ticks.
  std::atomic<int64_t> counter{900000000};
  setTickCounterSource([&](int64_t& raw) {
    raw = counter.fetch_add(1);
    return true;
  });
  state.noteStopSignal(true);
  state.noteStopSignal(false);
  EXPECT_EQ(state.sigInts.load(), 1);
  EXPECT_EQ(state.shutdowns.load(), 2);
  const int64_t stamp = state.stopStamp();
  EXPECT_NE(stamp, 0);
  EXPECT_LE(ticks() - stamp, 3);
  EXPECT_GE(ticks() - stamp, -1);
  setTickCounterSource(nullptr);
}

TEST(StandardDescriptorsTest, ClosedStandardDescriptorsPointAtDevNull) {
  struct stat devNull{};
  ASSERT_EQ(stat("/dev/null", &devNull), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(0);
    close(2);
    int outFlags = fcntl(1, F_GETFL);
    if (!occupyStandardDescriptors()) _exit(10);
    for (int fd : {0, 2}) {
      struct stat opened{};
      if (fstat(fd, &opened) != 0 || opened.st_rdev != devNull.st_rdev) _exit(11);
    }
    if (fcntl(1, F_GETFL) != outFlags) _exit(12);  // open descriptors stay as they are
    int fresh = open("/dev/null", O_RDONLY);
    if (fresh < 3) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
