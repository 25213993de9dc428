#pragma once
// The process-wide tick clock: hundredths of a second since the first
// reading (tick 0). Every time-out, age and time stamp of the system counts
// in these ticks.
//
// The count comes from an injectable counter source (the GPIO driver's
// counter once the GPIO device is open; a fake in tests). Until one is
// installed, after it fails once, or after it is removed, the clock runs on
// CLOCK_MONOTONIC. Every switch of source rebases the count so that it
// continues from its last value: the clock never jumps.
//
// Locks: the clock's own mutex, then whatever the source takes (the GPIO
// device mutex). Never read the clock while holding a lock the source takes.
#include <cstdint>
#include <functional>

// Reads the raw counter in hundredths of a second into `centiseconds`;
// false when the read failed (the clock then falls back for good, until a
// new source is installed).
using TickCounterSource = std::function<bool(int64_t& centiseconds)>;

// Installs a counter source (an empty function removes it). The clock tries
// the new source at its next reading; a first raw reading of 0 does not fix
// the source's origin, the next non-zero one does.
void setTickCounterSource(TickCounterSource source);

// The current tick count (signed, 1/100 s). Safe from any thread.
int64_t ticks();
// The same reading, as the up-time of the SNMP agent.
int64_t uptimeTicks();

// CLOCK_MONOTONIC in hundredths of a second; async-signal-safe, for signal
// handlers, which must not take the clock's lock.
int64_t monotonicCentiseconds();
