#pragma once
// Event codes: single bits of a 32-bit word, so a word can name several kinds.
#include <cstdint>

enum NotifyEvent : uint32_t {
  NOTI_USB_CONNECTED = 0x100,
  NOTI_USB_DISCONNECTED = 0x200,
  NOTI_USB_ATTACHED = 0x400,
  NOTI_USB_DETACHED = 0x800,
  NOTI_STATUS = 0x1000,
  NOTI_RESTART = 0x2000,
  NOTI_POP3_NOW = 0x8000,  // a message only, never stored in the ring
  NOTI_POWER = 0x200000,
  NOTI_SD_IN = 0x400000,
  NOTI_SD_OUT = 0x800000,
  NOTI_SD_MISSING = 0x1000000,
  NOTI_SD_UNUSABLE = 0x2000000,
  NOTI_SD_WRITE_PROTECTED = 0x4000000,
  NOTI_LINK = 0x8000000,
};

// The events whose traps leave as soon as the Notify task hears of them.
inline constexpr uint32_t kImmediateTrapEvents = 0x0FF20F00;
