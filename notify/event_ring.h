#pragma once
// EventRecord and the 16-slot ring the Notify task reports from. Producers
// store an event; the task collects what is pending for mails and traps.
// A full ring overwrites the oldest slot, whose pending bits stay set, so the
// newer event is reported in its place.
//
// `mutex_` guards every slot, the write index and both pending masks; it is
// held for one store or one collection, never across mail or network I/O.
#include <cstdint>
#include <functional>
#include <mutex>

struct EventRecord {
  uint32_t code = 0;
  int32_t port = -1;  // USB port, or the power or link word of the poster
  char manufacturer[129] = "";
  char product[129] = "";
  char serial[33] = "";
  char user[33] = "";
};

class EventRing {
 public:
  static constexpr int kSlots = 16;

  // Stores one event; null texts are stored as "-?-". Power and link events
  // leave the slot's texts as they were.
  void post(uint32_t code, int32_t port, const char* manufacturer, const char* product,
            const char* serial, const char* user);

  // The slots not yet mailed, as collected for one mail.
  struct MailBatch {
    uint32_t codes = 0;     // OR of their codes
    uint32_t slotBits = 0;  // bit i: slot i
    uint32_t generation[kSlots] = {};
  };
  MailBatch pendingMail() const;
  // Marks the batch's slots mailed, except those a producer reused meanwhile.
  void markMailed(const MailBatch& batch);
  uint32_t pendingMailBits() const;

  // Calls `send` for each slot not yet sent as a trap, under the ring lock,
  // with a copy of the record; a true result clears the slot's trap bit.
  void forEachPendingTrap(const std::function<bool(const EventRecord&)>& send);

  // Copy of slot i (for the mail sections).
  EventRecord slot(int i) const;

  void clearPending();

 private:
  mutable std::mutex mutex_;
  EventRecord slots_[kSlots];
  uint32_t generation_[kSlots] = {};  // counts the stores into each slot
  int writeIndex_ = 0;
  uint32_t pendingMail_ = 0;
  uint32_t pendingTrap_ = 0;
};
