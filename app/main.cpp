// The resident control program. Start-up, supervision and shutdown grow here
// as the services arrive; for now it parses its options, waits for a stop
// signal, stops its tasks through a ShutDown task and ends with the exit
// code of the run state.
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/signals.h"
#include "core/paths.h"
#include "core/run_state.h"
#include "core/shutdown_task.h"
#include "core/standard_fds.h"
#include "core/task.h"
#include "core/tick_clock.h"

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

// A stop signal more than this many ticks ago ends the process even when
// tasks are still listed.
constexpr int64_t kStopGraceTicks = 499;

void supervise() {
  bool shutDownStarted = false;
  const timespec pass{0, 100 * 1000 * 1000};
  for (;;) {
    nanosleep(&pass, nullptr);
    if (runState().shutdowns.load() > 0 && !shutDownStarted) {
      ShutDown::launch(1);
      shutDownStarted = true;
    }
    if (shutDownStarted && listedTaskCount() == 0) return;
    const int64_t stopStamp = runState().stopStamp();
    if (stopStamp != 0 && ticks() - stopStamp > kStopGraceTicks) return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  occupyStandardDescriptors();
  Options options;
  if (!parseOptions(argc, argv, options)) return usage(argv[0]);
  runState().kickOff.store(parseKickOff(std::getenv("KickOff")));
  umask(077);
  installSignalHandlers();
  installStopHandlers();
  setRootDirectory(options.root);

  supervise();
  return runState().exitCode.load();
}
