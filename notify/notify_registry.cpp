#include "notify/notify_registry.h"

#include <atomic>
#include <mutex>

#include "core/task_message.h"
#include "core/task_table.h"
#include "notify/event_ring.h"

namespace {

std::mutex& registryLock() {
  static std::mutex lock;
  return lock;
}
EventRing* registeredRing = nullptr;  // guarded by registryLock()
std::atomic<int> runningTaskId{-1};

}  // namespace

bool postEvent(uint32_t code, int32_t port, const char* manufacturer, const char* product,
               const char* serial, const char* user) {
  std::lock_guard<std::mutex> guard(registryLock());
  if (!registeredRing) return false;
  registeredRing->post(code, port, manufacturer, product, serial, user);
  return true;
}

bool notifyEvent(uint32_t code) {
  const int id = runningTaskId.load();
  if (id < 0) return false;
  TaskMessage message{id, MSG_NOTIFY, static_cast<int32_t>(code), 0};
  postToId(id, &message);
  return true;
}

void registerEventRing(EventRing* ring) {
  std::lock_guard<std::mutex> guard(registryLock());
  registeredRing = ring;
}

void setNotifyTaskId(int id) { runningTaskId.store(id); }
int notifyTaskId() { return runningTaskId.load(); }
