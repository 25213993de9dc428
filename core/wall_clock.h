#pragma once
// The calendar clock. Code that needs the date or the local hour reads it
// here. Setting the clock (the SNTP client) goes through setWallClock: on the
// appliance that is settimeofday; under the simulation it moves an offset
// inside the process, so the host's clock is never touched.
#include <sys/time.h>

#include <ctime>
#include <functional>

// The calendar time in seconds (time(), plus the simulated offset).
std::time_t wallNow();
// localtime_r of wallNow(); false when the time cannot be broken down.
bool localTimeNow(std::tm& out);

// settimeofday(tv, nullptr), or the offset under the simulation; 0 or -errno.
int setWallClock(const timeval& tv);
void useSimulatedWallClock(bool simulated);

// Replaces the underlying time() source (tests); an empty function restores it.
void setWallClockSource(std::function<std::time_t()> source);
