#include "core/task.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/tick_clock.h"

namespace {

// A started task's thread deletes its task on the way out. The task is
// unlisted before its destructors run, so that no poster reaches a half
// destroyed object.
void taskKeyDestructor(void* value) {
  Task* task = static_cast<Task*>(value);
  TaskTable::instance().unlist(task);
  delete task;
}

// The thread-specific key whose value in a task's thread is that task.
pthread_key_t taskKey() {
  static const pthread_key_t key = [] {
    pthread_key_t created;
    int error = pthread_key_create(&created, taskKeyDestructor);
    if (error != 0) {
      std::fprintf(stderr, "could not create task context key !! %s\n", std::strerror(error));
      std::exit(-1);
    }
    return created;
  }();
  return key;
}

// Ids count from 1 and start again at 1 after the largest positive value.
int nextTaskId() {
  static std::atomic<int> counter{0};
  int current = counter.load();
  int next;
  do {
    next = current == INT_MAX ? 1 : current + 1;
  } while (!counter.compare_exchange_weak(current, next));
  return next;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

constexpr int kEventsPerPass = 4;

}  // namespace

Task::Task(const char* name) : name_(name != nullptr ? name : "") {
  startStamp_.store(ticks());
  // Creates the key on the first construction of the process.
  taskKey();

  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "%s:%d: could not create message pipe:\n", "task.cpp", 97);
    std::exit(-1);
  }
  pipeRead_ = ends[0];
  pipeWrite_ = ends[1];
  // A receiver that stops reading must never block its posters, who hold
  // the table lock: a full pipe fails the post instead.
  fcntl(pipeWrite_, F_SETFL, fcntl(pipeWrite_, F_GETFL) | O_NONBLOCK);

  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) {
    std::fprintf(stderr, "%s:%d: epoll error: %s !!\n", "task.cpp", 118, std::strerror(errno));
    std::exit(-1);
  }
  pipeWatch_ = FdWatch{this, &Task::onPipeReadable, pipeRead_};
  addWatch(&pipeWatch_, EPOLLIN | EPOLLHUP);

  TaskTable::instance().list(this);
}

Task::~Task() {
  if (epollFd_ >= 0 && pipeWatch_.owner != nullptr) {
    removeWatch(pipeWatch_.fd);
    pipeWatch_ = FdWatch{};
  }
  TaskTable::instance().unlist(this);
  closeIfOpen(epollFd_);
  closeIfOpen(pipeRead_);
  {
    std::lock_guard<std::mutex> lock(pipeMutex_);
    closeIfOpen(pipeWrite_);
  }
}

int Task::start(int stackSize, int joinable) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return -1;
  size_t defaultSize = 0;
  if (pthread_attr_getstacksize(&attributes, &defaultSize) != 0) {
    pthread_attr_destroy(&attributes);
    return -1;
  }
  size_t size = stackSize > 0 && static_cast<size_t>(stackSize) > defaultSize
                    ? static_cast<size_t>(stackSize)
                    : defaultSize;
  stackSize_ = size > INT_MAX ? INT_MAX : static_cast<int>(size);
  pthread_attr_setstacksize(&attributes, size);
  if (joinable == 0) pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);

  // The id and the thread handle appear together under the table lock, so a
  // walker of the table never sees a positive id without a thread.
  TaskTableLock lock;
  if (!lock.locked()) {
    pthread_attr_destroy(&attributes);
    id_.store(-1);
    return -1;
  }
  const int id = nextTaskId();
  id_.store(id);
  int error = pthread_create(&thread_, &attributes, &Task::threadEntry, this);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    id_.store(-1);
    return -1;
  }
  // From here on the task belongs to its thread: only the local copy of the
  // id may be used.
  return id;
}

void* Task::threadEntry(void* argument) {
  Task* task = static_cast<Task*>(argument);
  pthread_setspecific(taskKey(), task);
  task->processId_.store(getpid());
  task->parentProcessId_.store(getppid());
  task->kernelThreadId_.store(gettid());
  char kernelName[16];
  std::snprintf(kernelName, sizeof kernelName, "%s", task->name());
  pthread_setname_np(pthread_self(), kernelName);
  {
    // Waits until start() has finished.
    TaskTableLock lock;
    if (!lock.locked()) {
      std::fprintf(stderr, "**** thread start synchronisation failed %p *****\n", argument);
      return nullptr;
    }
  }
  task->run();
  return nullptr;
}

void Task::exit() { pthread_exit(nullptr); }

int Task::handle(TaskMessage* msg) { return msg->type; }

int Task::post(TaskMessage* msg) {
  msg->receiver = id();
  std::lock_guard<std::mutex> lock(pipeMutex_);
  if (pipeWrite_ < 0) return -1;
  ssize_t written;
  do {
    written = ::write(pipeWrite_, msg, sizeof *msg);
  } while (written < 0 && errno == EINTR);
  return written == static_cast<ssize_t>(sizeof *msg) ? 0 : -1;
}

int Task::readMessage() {
  TaskMessage msg{};
  ssize_t got;
  do {
    got = ::read(pipeRead_, &msg, sizeof msg);
  } while (got < 0 && errno == EINTR);
  if (got != static_cast<ssize_t>(sizeof msg)) exit();
  if (msg.type & MSG_TERMINATE) exit();
  return handle(&msg);
}

namespace {

int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Milliseconds left until the deadline (ns), rounded up so that a wait never
// ends before it; -1 without a deadline.
int remainingMs(int64_t deadline) {
  if (deadline < 0) return -1;
  int64_t left = deadline - monotonicNanoseconds();
  if (left <= 0) return 0;
  left = (left + 999999) / 1000000;
  return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

constexpr short kReadable = POLLIN | POLLHUP | POLLERR;

}  // namespace

int Task::wait(int64_t timeoutTicks, int extraFd) {
  // Ticks are hundredths of a second; a limit beyond centuries is no limit.
  constexpr int64_t kNanosecondsPerTick = 10000000;
  const int64_t deadline = timeoutTicks < 0 || timeoutTicks > INT64_MAX / kNanosecondsPerTick / 2
                               ? -1
                               : monotonicNanoseconds() + timeoutTicks * kNanosecondsPerTick;
  pollfd fds[2] = {{pipeRead_, POLLIN, 0}, {extraFd, POLLIN, 0}};
  const nfds_t count = extraFd > 0 ? 2 : 1;
  for (;;) {
    fds[0].revents = fds[1].revents = 0;
    int ready = ::poll(fds, count, remainingMs(deadline));
    if (ready < 0) return 0;
    if (ready == 0) return 1;
    if ((fds[0].revents | fds[1].revents) & POLLNVAL) return 0;
    if (fds[0].revents & kReadable) {
      if (readMessage() & MSG_WAKE_MASK) return 2;
    }
    if (count == 2 && (fds[1].revents & kReadable)) return 3;
  }
}

int Task::pollMessage() {
  if (pipeRead_ < 0) return 0;
  int pending = 0;
  if (ioctl(pipeRead_, FIONREAD, &pending) != 0 || pending < 1) return 0;
  readMessage();
  return 1;
}

int Task::dispatch(int timeoutMs) {
  epoll_event events[kEventsPerPass];
  int ready = epoll_wait(epollFd_, events, kEventsPerPass, timeoutMs);
  if (ready <= 0) return ready;
  // Owners are noted before any callback runs: a callback that reports its
  // owner finished may have freed the watches of that owner, so later
  // events of the same owner are skipped by comparing these copies and
  // never by reading their records.
  void* owners[kEventsPerPass];
  for (int i = 0; i < ready; ++i) {
    FdWatch* watch = static_cast<FdWatch*>(events[i].data.ptr);
    owners[i] = watch != nullptr ? watch->owner : nullptr;
  }
  void* finished[kEventsPerPass];
  int finishedCount = 0;
  for (int i = 0; i < ready; ++i) {
    bool skip = owners[i] == nullptr;
    for (int f = 0; f < finishedCount && !skip; ++f) skip = owners[i] == finished[f];
    if (skip) continue;
    FdWatch* watch = static_cast<FdWatch*>(events[i].data.ptr);
    // An earlier callback of a live owner may have disabled this watch.
    if (watch->owner == nullptr || watch->callback == nullptr) continue;
    if (watch->callback(watch, events[i].events) < 0) finished[finishedCount++] = owners[i];
  }
  return ready;
}

int Task::addWatch(FdWatch* watch, uint32_t events) {
  epoll_event event{};
  event.events = events;
  event.data.ptr = watch;
  return epoll_ctl(epollFd_, EPOLL_CTL_ADD, watch->fd, &event);
}

int Task::removeWatch(int fd) { return epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr); }

int Task::onPipeReadable(FdWatch* watch, uint32_t) {
  if (watch == nullptr || watch->owner == nullptr) return 0;
  return static_cast<Task*>(watch->owner)->readMessage();
}

Task* currentTask() { return static_cast<Task*>(pthread_getspecific(taskKey())); }

int currentTaskId() {
  Task* task = currentTask();
  return task != nullptr ? task->id() : -1;
}

const char* currentTaskName() {
  Task* task = currentTask();
  return task != nullptr ? task->name() : "NoTask";
}
