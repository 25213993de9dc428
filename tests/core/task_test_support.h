#pragma once
// Tasks for tests: a ProbeTask runs a given body on its own thread and
// records what its handler saw in a Probe that outlives the task (a started
// task deletes itself when its thread ends).
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/task.h"

struct Probe {
  std::mutex mutex;
  std::vector<TaskMessage> handled;
  std::atomic<bool> ran{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> finished{false};  // the body returned

  void record(const TaskMessage& msg) {
    std::lock_guard<std::mutex> lock(mutex);
    handled.push_back(msg);
  }
  size_t handledCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return handled.size();
  }
  std::vector<TaskMessage> messages() {
    std::lock_guard<std::mutex> lock(mutex);
    return handled;
  }
};

class ProbeTask : public Task {
 public:
  using Body = std::function<void(ProbeTask&)>;

  // handle() records every message and returns its type masked by keepBits.
  ProbeTask(const char* name, std::shared_ptr<Probe> probe, Body body, int32_t keepBits = -1)
      : Task(name), probe_(std::move(probe)), body_(std::move(body)), keepBits_(keepBits) {}
  ~ProbeTask() override { probe_->destroyed.store(true); }

  void run() override {
    probe_->ran.store(true);
    if (body_) body_(*this);
    probe_->finished.store(true);
    exit();
  }

  int handle(TaskMessage* msg) override {
    probe_->record(*msg);
    return msg->type & keepBits_;
  }

  // Serves messages until a MSG_TERMINATE ends the thread.
  static void serveForever(ProbeTask& task) {
    for (;;) task.wait(-1);
  }

 private:
  std::shared_ptr<Probe> probe_;
  Body body_;
  int32_t keepBits_;
};

// Polls cond every millisecond for up to `limit`.
template <typename Cond>
bool eventually(Cond cond, std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Starts a ProbeTask running `body`; returns its id (the task owns itself).
inline int startProbe(const char* name, std::shared_ptr<Probe> probe, ProbeTask::Body body,
                      int32_t keepBits = -1) {
  auto* task = new ProbeTask(name, std::move(probe), std::move(body), keepBits);
  int id = task->start(0);
  if (id < 0) delete task;
  return id;
}

// Runs fn on a task's thread and waits until that task is gone.
inline bool runInTask(std::function<void(ProbeTask&)> fn) {
  auto probe = std::make_shared<Probe>();
  if (startProbe("TestBody", probe, std::move(fn)) < 0) return false;
  return eventually([&] { return probe->destroyed.load(); }, std::chrono::milliseconds(20000));
}

inline int openDescriptorCount() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

inline TaskMessage message(int32_t type, int32_t arg1 = 0, int32_t arg2 = 0) {
  TaskMessage msg{};
  msg.type = type;
  msg.arg1 = arg1;
  msg.arg2 = arg2;
  return msg;
}

// Ends every started task and waits until the table is empty again.
inline bool terminateAllTasks() {
  TaskMessage terminate = message(MSG_TERMINATE);
  return eventually([&] {
    broadcast(&terminate);
    return listedTaskCount() == 0;
  });
}
