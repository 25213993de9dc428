// The appliance stops on SIGINT and SIGTERM through its ShutDown task,
// returns the exit code of its run state and leaves its interface down.
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/appliance_process.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// The interface flags as `ip -o link` prints them, e.g. "BROADCAST,MULTICAST,UP".
std::string linkFlags(const ApplianceProcess& appliance) {
  const std::string line = appliance.inside("ip -o link show dev eth0").output;
  const size_t open = line.find('<');
  const size_t close = line.find('>', open);
  if (open == std::string::npos || close == std::string::npos) return "?";
  return "," + line.substr(open + 1, close - open - 1) + ",";
}

class ApplianceStopTest : public ::testing::TestWithParam<int> {};

TEST_P(ApplianceStopTest, StopSignalEndsWithExitCodeZeroAndTheInterfaceDown) {
  ApplianceProcess appliance("basic4");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  ASSERT_NE(linkFlags(appliance).find(",UP,"), std::string::npos) << linkFlags(appliance);

  const auto signalled = SteadyClock::now();
  const int status = appliance.stop(GetParam(), 8000ms);
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - signalled).count();
  ASSERT_NE(status, -1) << "no exit within 8 s after the stop signal:\n" << appliance.output();
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // ShutDown waits its 1-s delay and 1 s more before signalling the tasks.
  EXPECT_GE(seconds, 1.9);
  EXPECT_NE(appliance.output().find("sigXXX(" + std::to_string(GetParam()) + ") <"), std::string::npos)
      << appliance.output();

  EXPECT_EQ(linkFlags(appliance).find(",UP,"), std::string::npos) << linkFlags(appliance);
  EXPECT_EQ(appliance.inside("ip -o -4 addr show dev eth0").output, "");
}

INSTANTIATE_TEST_SUITE_P(Signals, ApplianceStopTest, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
