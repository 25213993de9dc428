#include "tests/support/command.h"

#include <sys/wait.h>

#include <cstdio>

CommandRun runCommand(const std::string& shellCommand) {
  CommandRun run;
  FILE* pipe = ::popen(shellCommand.c_str(), "r");
  if (!pipe) return run;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
