#include "app/signals.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/run_state.h"

namespace {

// Runs `body` in a child process whose standard output and error go to a
// pipe; returns the wait status and fills `output`.
int runChild(void (*body)(), std::string& output) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    body();
    _exit(0);
  }
  close(fds[1]);
  char chunk[4096];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) output.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

TEST(FatalSignal, DumpsAndEndsWithTheSignalStatus) {
  struct Row { int sig; };
  for (const Row row : {Row{SIGSEGV}, Row{SIGFPE}, Row{SIGBUS}, Row{SIGABRT}}) {
    static int current;
    current = row.sig;
    std::string output;
    const int status = runChild(
        [] {
          installSignalHandlers();
          installStopHandlers();  // SIGFPE and SIGBUS must stay fatal
          raise(current);
        },
        output);
    SCOPED_TRACE(row.sig);
    // The signal's own status; a sanitizer runtime that keeps its handler
    // for the signal ends the process with its own failure code instead.
    const bool crashed = WIFSIGNALED(status) ? WTERMSIG(status) == row.sig
                                             : WIFEXITED(status) && WEXITSTATUS(status) != 0;
    EXPECT_TRUE(crashed) << "a crash never ends with a normal exit code; status " << status;
    EXPECT_NE(output.find("Signal " + std::to_string(row.sig) + ", errno "), std::string::npos) << output;
    EXPECT_NE(output.find("\nStack: \n"), std::string::npos);
    EXPECT_NE(output.find("fault_addr="), std::string::npos);
    EXPECT_NE(output.find("[stack]"), std::string::npos) << "the memory map follows";
  }
}

TEST(StopSignal, CountsTheStopAndReports) {
  std::string output;
  const int status = runChild(
      [] {
        installSignalHandlers();
        installStopHandlers();
        raise(SIGINT);
        raise(SIGTERM);
        raise(SIGUSR1);
        _exit(runState().shutdowns.load() * 10 + runState().sigInts.load());
      },
      output);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 21) << "two stops, one of them SIGINT";
  EXPECT_NE(output.find("sigXXX(2) <NoTask> shutdowns:1 sigInts:1\n"), std::string::npos) << output;
  EXPECT_NE(output.find("sigXXX(15) <NoTask> shutdowns:2 sigInts:1\n"), std::string::npos);
  EXPECT_NE(output.find("sigXXX(10) <NoTask> shutdowns:2 sigInts:1\n"), std::string::npos);
}

}  // namespace
