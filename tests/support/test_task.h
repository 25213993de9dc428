#pragma once
// Runs a test body on a real task thread, so that waits serve a real
// message pipe. The body receives the task; the test thread can post to it
// by id while it runs and collects what its handler saw afterwards.
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "core/task.h"

struct TestTaskRecord {
  std::mutex mutex;
  std::vector<int> handledTypes;  // every message type the handler saw
  bool finished = false;          // the body returned (not ended by terminate)
};

class TestTask : public Task {
 public:
  using Body = std::function<void(TestTask&)>;
  // keepMask: the type bits handle() keeps in its result (the rest it consumes)
  TestTask(const char* name, Body body, int keepMask, std::shared_ptr<TestTaskRecord> record,
           std::promise<void> ended);
  ~TestTask() override;
  void run() override;
  int handle(TaskMessage* msg) override;

 private:
  Body body_;
  int keepMask_;
  std::shared_ptr<TestTaskRecord> record_;
  std::promise<void> ended_;
};

// A started TestTask; wait() blocks until its thread has ended (the task is
// deleted by then).
class RunningTestTask {
 public:
  RunningTestTask(TestTask::Body body, int keepMask = 0, const char* name = "TestTask");
  ~RunningTestTask() { wait(); }
  int id() const { return id_; }
  // posts a message of that type to the task; 0 on success
  int post(int type, int arg1 = 0) const;
  // waits for the end of the task's thread; false after the time limit
  bool wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  std::vector<int> handledTypes() const;
  bool finished() const;

 private:
  std::shared_ptr<TestTaskRecord> record_ = std::make_shared<TestTaskRecord>();
  std::future<void> ended_;
  int id_ = -1;
};
