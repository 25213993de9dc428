#pragma once
// The producers' side of the notification task: store an event in the ring
// of the running Notify task and wake it. While no Notify task is registered
// (none runs, or it has nothing to deliver) events are dropped.
//
// The registry lock is held across the lookup and the store, and the Notify
// task unregisters under it before its ring goes away, so a producer can never
// reach a ring that no longer exists.
#include <cstdint>

class EventRing;

// Stores one event; false when no Notify task takes events now.
bool postEvent(uint32_t code, int32_t port, const char* manufacturer = nullptr,
               const char* product = nullptr, const char* serial = nullptr,
               const char* user = nullptr);

// Wakes the Notify task with message 0x10 and `code`; false when none runs.
bool notifyEvent(uint32_t code);

// For the Notify task itself.
void registerEventRing(EventRing* ring);  // null: take no events
void setNotifyTaskId(int id);             // -1: none
int notifyTaskId();
