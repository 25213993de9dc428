#pragma once
// The process-wide table of tasks (64 slots) and the operations that reach
// tasks through it: posting by id, by name and to all, signalling, and the
// start-stamp shift. A task occupies a slot from its construction until its
// thread ends (or, when never started, until it is deleted); a task built
// while all 64 slots are taken runs unlisted and cannot be reached here.
//
// Tasks that never started (id 0, or -1 after a failed start) are listed but
// skipped by every post and by signalTasks: nobody reads their pipe and they
// have no thread.
#include <cstdint>

class Task;
struct TaskMessage;

// Slots and the recursive lock, which is held across thread creation, every
// post and a task's removal. Lock order: an interface mutex, then this lock,
// then a task's pipe mutex. The table lives for the whole process.
class TaskTable {
 public:
  static constexpr int kSlots = 64;

  static TaskTable& instance();

  // 1 when locked, 0 (after printing "TLOCK[%d] failed!") when not.
  int lock();
  void unlock();

  // Stores the task in the first free slot; false when all are taken.
  bool list(Task* task);
  // Clears the slot holding the task, if any.
  void unlist(Task* task);

  // Number of listed tasks, started or not.
  int count();
  // Calls fn(Task&) for every listed task, in slot order, under the lock.
  // A template, so that posting allocates nothing.
  template <typename Fn>
  void forEach(Fn&& fn);

  // The task in slot i or null; only with the lock held.
  Task* slot(int i) const;

 private:
  TaskTable();

  struct State;
  State* state_;
};

// Scoped holder of the table lock.
class TaskTableLock {
 public:
  TaskTableLock() : locked_(TaskTable::instance().lock() == 1) {}
  ~TaskTableLock() {
    if (locked_) TaskTable::instance().unlock();
  }
  TaskTableLock(const TaskTableLock&) = delete;
  TaskTableLock& operator=(const TaskTableLock&) = delete;
  bool locked() const { return locked_; }

 private:
  bool locked_;
};

template <typename Fn>
void TaskTable::forEach(Fn&& fn) {
  TaskTableLock lock;
  if (!lock.locked()) return;
  for (int i = 0; i < kSlots; ++i) {
    if (Task* task = slot(i)) fn(*task);
  }
}

int lockTaskTable();
void unlockTaskTable();

// Task::post result of the started, listed task with that id; -1 when none.
int postToId(int id, TaskMessage* msg);
// Posts to every started, listed task of that exact name; returns how many
// were posted to successfully.
int postByName(const char* name, TaskMessage* msg);
// Posts to every started, listed task, the caller included; returns the OR
// of the Task::post results (0 when all succeeded or none was listed, -1
// when any failed).
int broadcast(TaskMessage* msg);
// pthread_kill(sig) to every started, listed task other than the caller's
// own task; with a name, only to tasks of that name.
void signalTasks(const char* name, int sig);
// Adds delta ticks to the start stamp of every listed task.
void shiftStartStamps(int64_t delta);

// The task whose thread is calling: null, -1 and "NoTask" outside a task.
Task* currentTask();
int currentTaskId();
const char* currentTaskName();

// Convenience for the supervision loop and the thread pages.
inline int listedTaskCount() { return TaskTable::instance().count(); }
