// The appliance process stops on SIGINT and SIGTERM through its ShutDown
// task and returns the exit code of its run state. Needs root (a network
// namespace).
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

// Runs the appliance in a network namespace of its own (it brings "eth0"
// up and down), with a veth end named eth0; the namespace ends with it.
pid_t startAppliance(const std::string& root) {
  pid_t child = fork();
  if (child == 0) {
    std::string script =
        "ip link add eth0 type veth peer name peer0 && ip link set peer0 up && ip link set lo up && "
        "exec " APPLIANCE_BINARY_DIR "/app/appliance --root '" + root + "' --sim";
    execlp("unshare", "unshare", "--net", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return child;
}

// Waits up to `limit` for the child; its wait status, or -1 when it did not end.
int awaitExit(pid_t child, std::chrono::milliseconds limit) {
  auto deadline = SteadyClock::now() + limit;
  int status = 0;
  while (SteadyClock::now() < deadline) {
    if (waitpid(child, &status, WNOHANG) == child) return status;
    std::this_thread::sleep_for(10ms);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// True once the appliance itself (not the shell before it) catches the
// signal: its handlers are installed.
bool catches(pid_t pid, int sig) {
  char exe[4096] = {};
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t length = readlink(link.c_str(), exe, sizeof exe - 1);
  if (length <= 0 || !std::string(exe, length).ends_with("/app/appliance")) return false;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigCgt:", 0) == 0) {
      unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
      return (mask >> (sig - 1)) & 1;
    }
  }
  return false;
}

bool awaitCatching(pid_t pid, int sig) {
  auto deadline = SteadyClock::now() + 10s;
  while (!catches(pid, sig)) {
    if (SteadyClock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class ApplianceStopTest : public TempRootTest, public ::testing::WithParamInterface<int> {};

TEST_P(ApplianceStopTest, StopSignalEndsTheProcessWithExitCodeZero) {
  pid_t child = startAppliance(root_.path());
  ASSERT_GT(child, 0);
  ASSERT_TRUE(awaitCatching(child, GetParam()));
  // Still running when nobody asks it to stop.
  int status = 0;
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(waitpid(child, &status, WNOHANG), 0);

  auto signalled = SteadyClock::now();
  ASSERT_EQ(kill(child, GetParam()), 0);
  status = awaitExit(child, 8000ms);
  double seconds = std::chrono::duration<double>(SteadyClock::now() - signalled).count();
  ASSERT_NE(status, -1) << "no exit after the stop signal";
  ASSERT_TRUE(WIFEXITED(status)) << "signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // ShutDown waits its 1-s delay and 1 s more before signalling the tasks.
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 6.0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ApplianceStopTest, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
