#include "bench/usb_bench_probe.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>

namespace {

std::string firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

uint64_t schedstatNanos(const std::string& taskDir) {
  // First field: time spent on the CPU, in nanoseconds.
  const std::string line = firstLine(taskDir + "/schedstat");
  return line.empty() ? 0 : std::strtoull(line.c_str(), nullptr, 10);
}

}  // namespace

uint64_t threadCpuNanosByName(const std::string& prefix) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir("/proc/self/task"), closedir);
  if (!dir) return 0;
  uint64_t total = 0;
  while (const dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    const std::string taskDir = std::string("/proc/self/task/") + entry->d_name;
    if (firstLine(taskDir + "/comm").rfind(prefix, 0) == 0) total += schedstatNanos(taskDir);
  }
  return total;
}

uint64_t threadCpuNanos(pid_t tid) { return schedstatNanos("/proc/self/task/" + std::to_string(tid)); }

uint64_t ownCpuNanos() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

long residentKib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}
