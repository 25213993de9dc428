#pragma once
// Runs a shell command for a test and collects what it printed.
#include <string>

struct CommandRun {
  std::string output;  // standard output (standard error only as the command redirects it)
  int exitCode = -1;   // -1 when the command could not run or ended by a signal
};

CommandRun runCommand(const std::string& shellCommand);
