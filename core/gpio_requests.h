#pragma once
// The requests of the GPIO and button drivers and the records they carry
// (all words 32-bit, native byte order, as the drivers define them).
#include <cstdint>

inline constexpr unsigned long kGpioOutputOn = 0x40040AC2;     // uint32_t mask
inline constexpr unsigned long kGpioOutputOff = 0x40040AC3;    // uint32_t mask
inline constexpr unsigned long kGpioLedPattern = 0x40140ACA;   // LedPattern
inline constexpr unsigned long kGpioLedConfig = 0x40240ACE;    // LedConfig
inline constexpr unsigned long kGpioLedState = 0x80040AC5;     // uint32_t in and out
inline constexpr unsigned long kGpioDisplay = 0x80140ACC;      // DisplayCommand
inline constexpr unsigned long kGpioCounter = 0x80080ACB;      // uint64_t, 1/100 s
inline constexpr unsigned long kGpioProbe = 0x80040AA4;        // uint32_t
inline constexpr unsigned long kGpioLedMap = 0x80140AC9;       // LedMap
inline constexpr unsigned long kGpioDriverWord = 0x80040AC1;   // uint32_t
inline constexpr unsigned long kGpioLedRegister = 0x40040AA3;  // uint32_t
inline constexpr unsigned long kGpioInputs = 0x80040AAE;       // uint32_t: bit 0, 1 power inputs
inline constexpr unsigned long kGpioCardPresence = 0x80040AAF; // uint32_t: non-zero = card
inline constexpr unsigned long kButtonConfigRead = 0x80145C00;   // ButtonConfig (/dev/button)
inline constexpr unsigned long kButtonConfigWrite = 0x40145C01;  // ButtonConfig (/dev/button)

// Fixed LED register bits.
inline constexpr uint32_t kLedActivity = 0x1;
inline constexpr uint32_t kLedStatus = 0x2;
inline constexpr uint32_t kLedWlan = 0x8;

struct LedPattern {
  uint32_t select = 0;   // register bits affected
  uint32_t pattern = 0;  // bit s = on in step s; steady: the bits to switch on
  uint32_t steps = 0;    // which pattern bits are steps; 0 = steady
  uint32_t repeat = 0;   // 0 once, 1 for ever
  uint32_t stepMs = 0;
};
static_assert(sizeof(LedPattern) == 20);

// The panel board's LEDs and display segments.
struct LedConfig {
  uint32_t select[2] = {0, 0};  // LED banks 0 (LEDs 0-4) and 1 (LEDs 5-)
  uint32_t segmentSelect = 0;
  uint32_t value[2] = {0, 0};
  uint32_t segments = 0;  // active low
  uint32_t reserved[3] = {0, 0, 0};
};
static_assert(sizeof(LedConfig) == 36);

struct DisplayCommand {
  uint32_t text = 0;  // first << 24 | dot 2 << 16 | second << 8 | dot 1
  uint32_t blinkFirst = 0;
  uint32_t blinkLast = 0;
  uint32_t blinkEnable = 0;
  uint32_t blinkPeriodMs = 0;
};
static_assert(sizeof(DisplayCommand) == 20);

struct LedMap {
  uint32_t words[5] = {0xFFFFFFFF, 0, 0, 0, 0};  // word 0 = the LED mask
};
static_assert(sizeof(LedMap) == 20);

struct ButtonConfig {
  uint32_t mask = 0xFFFFFFFF;  // bit n = /dev/button<n>
  uint32_t reserved1 = 0;
  uint32_t timing[2] = {0, 0};
  uint32_t reserved4 = 0;
};
static_assert(sizeof(ButtonConfig) == 20);
