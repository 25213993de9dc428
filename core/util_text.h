#pragma once
// Small text and time helpers.
#include <cstdint>

// Caseless compare where every byte above 'Z' is lowered by 32 first; 0 as
// soon as a ends (a is a caseless prefix of b, or empty), otherwise the
// difference of the first unequal pair. Argument order matters.
int compareNoCase(const char* a, const char* b);

inline constexpr int kUptimeTextSize = 32;
// "%3d/%02d/%02d": days, hours and minutes of a tick count; returns the length
int uptimeText(std::int64_t ticks, char* buffer);

// The value of a "Key:<blanks or tab>value\n" line of /proc/<pid>/status.
// Cuts the line's final newline in place and returns a pointer into line;
// a line without a blank or tab gives the empty text at its end.
char* statusLineValue(char* line);

// A 32-bit load from an unaligned address, host byte order.
std::uint32_t loadU32(const void* pointer);

// Milliseconds from gettimeofday since the second of the last reset (since
// the epoch before the first reset). A non-zero reset makes the current
// second the base first.
std::int64_t msTimer(int reset);
