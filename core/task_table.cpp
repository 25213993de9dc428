#include "core/task_table.h"

#include <pthread.h>
#include <signal.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "core/task.h"

struct TaskTable::State {
  pthread_mutex_t mutex;
  std::array<Task*, kSlots> slots{};
};

TaskTable::TaskTable() : state_(new State) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&state_->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
}

TaskTable& TaskTable::instance() {
  // Never destroyed: detached task threads may still unlist themselves while
  // the process returns from main.
  static TaskTable* const table = new TaskTable;
  return *table;
}

int TaskTable::lock() {
  if (pthread_mutex_lock(&state_->mutex) != 0) {
    std::fprintf(stderr, "TLOCK[%d] failed!\n", currentTaskId());
    return 0;
  }
  return 1;
}

void TaskTable::unlock() { pthread_mutex_unlock(&state_->mutex); }

bool TaskTable::list(Task* task) {
  TaskTableLock lock;
  if (!lock.locked()) return false;
  for (Task*& slot : state_->slots) {
    if (slot == nullptr) {
      slot = task;
      return true;
    }
  }
  return false;
}

void TaskTable::unlist(Task* task) {
  TaskTableLock lock;
  if (!lock.locked()) return;
  for (Task*& slot : state_->slots) {
    if (slot == task) {
      slot = nullptr;
      return;
    }
  }
}

int TaskTable::count() {
  TaskTableLock lock;
  if (!lock.locked()) return 0;
  int listed = 0;
  for (Task* slot : state_->slots) listed += slot != nullptr;
  return listed;
}

Task* TaskTable::slot(int i) const { return state_->slots[i]; }

int lockTaskTable() { return TaskTable::instance().lock(); }

void unlockTaskTable() { TaskTable::instance().unlock(); }

namespace {

// Only a started task has a thread that reads its pipe and can be signalled.
bool started(const Task& task) { return task.id() > 0; }

}  // namespace

int postToId(int id, TaskMessage* msg) {
  if (id <= 0) return -1;
  int result = -1;
  bool found = false;
  TaskTable::instance().forEach([&](Task& task) {
    if (!found && task.id() == id) {
      found = true;
      result = task.post(msg);
    }
  });
  return result;
}

int postByName(const char* name, TaskMessage* msg) {
  int posted = 0;
  TaskTable::instance().forEach([&](Task& task) {
    if (started(task) && std::strcmp(task.name(), name) == 0 && task.post(msg) == 0) ++posted;
  });
  return posted;
}

int broadcast(TaskMessage* msg) {
  int result = 0;
  TaskTable::instance().forEach([&](Task& task) {
    if (started(task)) result |= task.post(msg);
  });
  return result;
}

void signalTasks(const char* name, int sig) {
  Task* self = currentTask();
  TaskTable::instance().forEach([&](Task& task) {
    if (&task == self || !started(task)) return;
    if (name != nullptr && std::strcmp(task.name(), name) != 0) return;
    pthread_kill(task.threadHandle(), sig);
  });
}

void shiftStartStamps(int64_t delta) {
  TaskTable::instance().forEach([&](Task& task) { task.shiftStartStamp(delta); });
}
