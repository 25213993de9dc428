#pragma once
// One epoll registration of a task: the data word handed back by epoll_wait.
#include <cstdint>

struct FdWatch;

// Serves one readiness event. A negative result means the owner is finished
// (it may already be deleted): Task::dispatch then skips the later events of
// the same owner in that pass without touching their records.
using FdWatchCallback = int (*)(FdWatch* watch, uint32_t events);

struct FdWatch {
  void* owner = nullptr;              // the object the callback acts on; null disables the watch
  FdWatchCallback callback = nullptr;
  int fd = -1;
};
