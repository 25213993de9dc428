#pragma once
// What the USB server benchmark reads about its own process: the CPU time of
// threads picked by name or id (the scheduler's nanosecond account in
// /proc/self/task/<tid>/schedstat), and the resident set size.
#include <sys/types.h>

#include <cstdint>
#include <string>

// CPU nanoseconds of every thread of this process whose name starts with
// `prefix`. Threads that ended are no longer counted, so a caller compares
// two readings taken while the threads it measures are alive.
uint64_t threadCpuNanosByName(const std::string& prefix);

// CPU nanoseconds of thread `tid` of this process; 0 when it is gone.
uint64_t threadCpuNanos(pid_t tid);

// CPU nanoseconds of the calling thread.
uint64_t ownCpuNanos();

// VmRSS of this process in KiB (from /proc/self/status); 0 when unreadable.
long residentKib();
