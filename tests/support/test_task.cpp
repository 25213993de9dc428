#include "tests/support/test_task.h"

#include "core/task_table.h"

TestTask::TestTask(const char* name, Body body, int keepMask, std::shared_ptr<TestTaskRecord> record,
                   std::promise<void> ended)
    : Task(name), body_(std::move(body)), keepMask_(keepMask), record_(std::move(record)),
      ended_(std::move(ended)) {}

// The task is deleted when its thread ends, by return or by terminate.
TestTask::~TestTask() { ended_.set_value(); }

void TestTask::run() {
  body_(*this);
  std::lock_guard<std::mutex> lock(record_->mutex);
  record_->finished = true;
}

int TestTask::handle(TaskMessage* msg) {
  std::lock_guard<std::mutex> lock(record_->mutex);
  record_->handledTypes.push_back(msg->type);
  return msg->type & keepMask_;
}

RunningTestTask::RunningTestTask(TestTask::Body body, int keepMask, const char* name) {
  std::promise<void> ended;
  ended_ = ended.get_future();
  auto* task = new TestTask(name, std::move(body), keepMask, record_, std::move(ended));
  id_ = task->start(65536, 0);
  if (id_ < 0) delete task;
}

int RunningTestTask::post(int type, int arg1) const {
  TaskMessage msg;
  msg.type = type;
  msg.arg1 = arg1;
  return postToId(id_, &msg);
}

bool RunningTestTask::wait(std::chrono::milliseconds limit) {
  if (!ended_.valid()) return true;
  if (ended_.wait_for(limit) != std::future_status::ready) return false;
  ended_.get();
  return true;
}

std::vector<int> RunningTestTask::handledTypes() const {
  std::lock_guard<std::mutex> lock(record_->mutex);
  return record_->handledTypes;
}

bool RunningTestTask::finished() const {
  std::lock_guard<std::mutex> lock(record_->mutex);
  return record_->finished;
}
