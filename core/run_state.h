#pragma once
// The process-wide run state: how the process was started, how it is to
// end, and which interface the services use. Single words, each an atomic,
// so that signal handlers, tasks and main may write and read them without
// a lock.
#include <atomic>
#include <cstdint>

class NetInterface;

struct RunState {
  // Start counter from the environment variable KickOff: -1 when unset, 0 on
  // the first start after boot, higher after restarts of the process.
  std::atomic<int> kickOff{-1};
  // What main returns: 0 normal end, 2 restart, 1 software installed.
  // A creator of a ShutDown task that asks for a restart sets it first.
  std::atomic<int> exitCode{0};
  // Stop requests: SIGINT, SIGTERM, a changed wired link on WLAN hardware,
  // and every run of a ShutDown task.
  std::atomic<int> shutdowns{0};
  std::atomic<int> sigInts{0};
  // -1 until main sets them.
  std::atomic<int> httpPort{-1};
  std::atomic<int> httpsPort{-1};
  std::atomic<int> snmpPort{-1};
  // The interface the services use, chosen by main at start-up.
  std::atomic<NetInterface*> mainInterface{nullptr};

  // Called by the SIGINT/SIGTERM handler: counts the request and notes its
  // time. Async-signal-safe (atomics and clock_gettime only).
  void noteStopSignal(bool isSigInt);

  // Tick time (tick clock) of the last SIGINT or SIGTERM; 0 when none.
  // The handler cannot read the tick clock (its source may hold a lock the
  // interrupted thread holds), so it notes the monotonic time and the age
  // is carried over into ticks here.
  int64_t stopStamp() const;

  // CLOCK_MONOTONIC hundredths of a second of the last stop signal; 0 = none.
  std::atomic<int64_t> stopMonotonic{0};
};

RunState& runState();

// The KickOff value of an environment text: -1 when null or not a decimal
// number, else its value.
int parseKickOff(const char* text);
