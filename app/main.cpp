// The resident control program. Start-up, supervision and shutdown grow here
// as the services arrive; for now it parses its options, waits for a stop
// signal and ends.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <unistd.h>

#include "core/paths.h"

namespace {

struct Options {
  std::string root = "/";
  bool sim = false;
};

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--root DIR] [--sim]\n", program);
  return 64;
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      options.root = argv[++i];
    } else if (std::strcmp(argv[i], "--sim") == 0) {
      options.sim = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) return usage(argv[0]);
  setRootDirectory(options.root);

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  int signal = 0;
  sigwait(&stopSignals, &signal);
  return 0;
}
