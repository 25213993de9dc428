#include "notify/event_ring.h"

#include <cstdio>

#include "notify/event_codes.h"

namespace {

template <size_t N>
void copyText(char (&field)[N], const char* text) {
  std::snprintf(field, N, "%s", text ? text : "-?-");
}

}  // namespace

void EventRing::post(uint32_t code, int32_t port, const char* manufacturer, const char* product,
                     const char* serial, const char* user) {
  std::lock_guard<std::mutex> guard(mutex_);
  EventRecord& record = slots_[writeIndex_];
  record.code = code;
  record.port = port;
  if (code != NOTI_POWER && code != NOTI_LINK) {
    copyText(record.manufacturer, manufacturer);
    copyText(record.product, product);
    copyText(record.serial, serial);
    copyText(record.user, user);
  }
  ++generation_[writeIndex_];
  pendingMail_ |= 1u << writeIndex_;
  pendingTrap_ |= 1u << writeIndex_;
  writeIndex_ = (writeIndex_ + 1) % kSlots;
}

EventRing::MailBatch EventRing::pendingMail() const {
  std::lock_guard<std::mutex> guard(mutex_);
  MailBatch batch;
  for (int i = 0; i < kSlots; ++i) {
    if (!(pendingMail_ & (1u << i))) continue;
    batch.codes |= slots_[i].code;
    batch.slotBits |= 1u << i;
    batch.generation[i] = generation_[i];
  }
  return batch;
}

void EventRing::markMailed(const MailBatch& batch) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (int i = 0; i < kSlots; ++i) {
    if ((batch.slotBits & (1u << i)) && generation_[i] == batch.generation[i]) {
      pendingMail_ &= ~(1u << i);
    }
  }
}

uint32_t EventRing::pendingMailBits() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pendingMail_;
}

void EventRing::forEachPendingTrap(const std::function<bool(const EventRecord&)>& send) {
  for (int i = 0; i < kSlots; ++i) {
    EventRecord copy;
    uint32_t generation;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!(pendingTrap_ & (1u << i))) continue;
      copy = slots_[i];
      generation = generation_[i];
    }
    // The trap goes out without the ring lock; a producer may meanwhile
    // overwrite the slot, whose new event then keeps its own pending bit.
    if (send(copy)) {
      std::lock_guard<std::mutex> guard(mutex_);
      if (generation_[i] == generation) pendingTrap_ &= ~(1u << i);
    }
  }
}

EventRecord EventRing::slot(int i) const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (i < 0 || i >= kSlots) return {};
  return slots_[i];
}

void EventRing::clearPending() {
  std::lock_guard<std::mutex> guard(mutex_);
  pendingMail_ = 0;
  pendingTrap_ = 0;
}
