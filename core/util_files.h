#pragma once
// File helpers: sizes and times, links, copies with a CRC, temporary files,
// descriptor modes, free space and the last line of a log.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

class FatAttributes;

// stat of path: -1 when it fails, 1 for a directory, else the size in bytes.
// With timeText, the modification time as local "%Y-%m-%d %H:%M".
long long fileSize(const char* path, char* timeText = nullptr, int timeTextSize = 0);
// The same, and the FAT archive bit (0x20) of the file into archive; a
// failure to open the file or to read its attributes prints the system
// error with the tag "fileSize" and leaves archive untouched.
long long fileSize(const char* path, char* timeText, int timeTextSize, int* archive,
                   FatAttributes& fat);

// 1 when both paths exist with the same inode and path is a symbolic link.
int isLinkTo(const char* path, const char* other);

// CRC-32 (IEEE 802.3, reflected) continued from crc, without the usual
// initial and final inversion.
std::uint32_t crc32Plain(std::uint32_t crc, const void* data, std::size_t length);

// Copies source to destination; the copy replaces the destination only when
// it is complete. A new destination is 0644 when the source is readable by
// others, else 0600; an existing one keeps its mode. With crc, the plain
// CRC-32 of the bytes copied. 1 on success.
int copyFile(const char* source, const char* destination, std::uint32_t* crc = nullptr);

// An anonymous temporary file under the root's /tmp; descriptor or -1.
int tempFile();

// 1 when O_NONBLOCK is clear; 0 for a negative descriptor or unreadable flags.
int isBlocking(int fd);
// Sets or clears O_NONBLOCK; 1 when the flag is as requested afterwards.
int setNonBlocking(int fd, bool on);

// statfs of path in KiB; both 0 and result 0 on failure.
int diskSpaceKb(const char* path, unsigned long long* totalKb, unsigned long long* freeKb);

// The last complete line of the file's final size bytes, with its newline,
// terminated at the start of buffer (size bytes). 1 on success.
int readLastLine(int fd, char* buffer, int size);

// glob's error callback: reports the path and lets glob continue.
int globErr(const char* path, int errorNumber);
