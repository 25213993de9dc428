#pragma once
// The fixed-size message that travels through a task's pipe. It never leaves
// the process, so its words are in native byte order.
#include <cstdint>

struct TaskMessage {
  int32_t receiver = 0;  // written by Task::post; callers pass 0
  int32_t type = 0;      // type bits below; normally one
  int32_t arg1 = 0;
  int32_t arg2 = 0;
};
static_assert(sizeof(TaskMessage) == 16, "a message is four 32-bit words");

// The framework ends the receiving thread inside Task::readMessage before
// Task::handle sees the message.
constexpr int32_t MSG_TERMINATE = 0x0002;
// An event was stored for notification; arg1 = event code.
constexpr int32_t MSG_NOTIFY = 0x0010;
// The interface address changed.
constexpr int32_t MSG_ADDRESS_CHANGED = 0x1000;
// Parameters were applied; reconfigure.
constexpr int32_t MSG_PARAMS_CHANGED = 0x4000;
// The WLAN link is connected again.
constexpr int32_t MSG_RECONNECTED = 0x8000;

// Task::wait ends early when a handled message's Task::handle result keeps
// one of these bits.
constexpr int32_t MSG_WAKE_MASK = MSG_RECONNECTED | MSG_PARAMS_CHANGED | MSG_NOTIFY;
