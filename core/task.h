#pragma once
// Every service runs as a task: an object derived from Task that owns one
// detached thread, a pipe through which other threads send it TaskMessages,
// and an epoll set over the descriptors it serves. A started task owns
// itself: when its thread ends, the task is unlisted and deleted.
//
// Threads: only the task's own thread calls readMessage, wait, pollMessage,
// dispatch, addWatch and removeWatch; each of the first four may end that
// thread (Task::exit) when a MSG_TERMINATE arrives, which unwinds the stack,
// so everything held across them must be released by destructors.
// Anyone may post. Nothing touches a started task after start() returns
// except the task itself and the TaskTable under its lock.
//
// Locks: the TaskTable lock, then pipeMutex_. pipeMutex_ keeps concurrent
// 16-byte writes to one pipe whole. startStamp_ is written under the table
// lock (shiftStartStamps) and read without it.
#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/fd_watch.h"
#include "core/task_message.h"
#include "core/task_table.h"

class Task {
 public:
  // Lists the task in the TaskTable (when a slot is free) and stamps it with
  // the tick clock. The name is copied.
  explicit Task(const char* name);
  virtual ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  // Starts the thread with a stack of max(stackSize, library default) bytes;
  // joinable is 0 for every caller (detached). Returns the new id (> 0) or
  // -1, which also becomes the task's id. After a successful start the
  // caller must not touch the task any more.
  int start(int stackSize, int joinable = 0);

  // The thread body; every override ends by calling exit() (or returns).
  virtual void run() = 0;
  // Ends the calling thread (pthread_exit, which unwinds its stack).
  [[noreturn]] virtual void exit();
  // Acts on the bits of msg it knows; returns msg->type with the consumed
  // bits cleared or kept. The base keeps them all.
  virtual int handle(TaskMessage* msg);
  // Writes msg (its receiver word set to this task's id) into this task's
  // pipe without blocking: 0 when all 16 bytes went in, -1 when the pipe is
  // full or closed (the receiver is not reading; the sender decides).
  virtual int post(TaskMessage* msg);

  // Reads one message (blocking) and returns handle()'s result. A short
  // read or MSG_TERMINATE ends the thread instead.
  int readMessage();

  // Waits up to timeoutTicks (1/100 s; negative = no limit, 0 = poll) while
  // serving this task's messages; also watches extraFd when it is > 0.
  // Returns 0 when poll failed (also when a signal interrupted it),
  // 1 time-out, 2 a handled message kept a bit of MSG_WAKE_MASK,
  // 3 extraFd is readable. The whole wait never exceeds the time-out.
  int wait(int64_t timeoutTicks, int extraFd = 0);

  // Handles one message when one is pending: 1, else 0.
  int pollMessage();

  // One epoll pass over at most 4 events: returns the number of events
  // (0 on time-out, negative on error).
  int dispatch(int timeoutMs);

  // epoll_ctl ADD of watch->fd with events, the watch as data word /
  // epoll_ctl DEL. Results as epoll_ctl.
  int addWatch(FdWatch* watch, uint32_t events);
  int removeWatch(int fd);

  // The pipe watch's callback: readMessage() on the watch's owner.
  static int onPipeReadable(FdWatch* watch, uint32_t events);

  // The read end of the message pipe, for waits elsewhere (connections)
  // that serve this task's messages beside their own descriptor.
  int messageFd() const { return pipeRead_; }

  int id() const { return id_.load(std::memory_order_acquire); }
  const char* name() const { return name_.c_str(); }
  int stackSize() const { return stackSize_; }
  int64_t startStamp() const { return startStamp_.load(std::memory_order_relaxed); }
  // Moves the start stamp after a jump of the tick clock (under the table lock).
  void shiftStartStamp(int64_t delta) { startStamp_.fetch_add(delta, std::memory_order_relaxed); }
  // Written by the task's own thread when it starts.
  pid_t kernelThreadId() const { return kernelThreadId_.load(std::memory_order_relaxed); }
  pid_t processId() const { return processId_.load(std::memory_order_relaxed); }
  pid_t parentProcessId() const { return parentProcessId_.load(std::memory_order_relaxed); }
  // Valid only while id() > 0, read under the table lock.
  pthread_t threadHandle() const { return thread_; }

 private:
  static void* threadEntry(void* task);

  int stackSize_ = 0;
  std::atomic<int64_t> startStamp_{0};
  std::atomic<pid_t> kernelThreadId_{0};
  std::atomic<pid_t> processId_{0};
  std::atomic<pid_t> parentProcessId_{0};
  std::atomic<int> id_{0};
  pthread_t thread_{};
  std::string name_;
  int epollFd_ = -1;
  std::mutex pipeMutex_;
  int pipeRead_ = -1;
  int pipeWrite_ = -1;
  FdWatch pipeWatch_;
};
