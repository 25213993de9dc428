#pragma once
// StatusDisplay: the two-character status display of the panel board and
// the list of active status codes it shows in turn. On every other board
// show() does nothing and reports success.
//
// Locks: mutex_ guards codes_, state_, current_, addCounter_ and
// powerBaseline_; the device mutex (taken by GpioDevice::ioctl) nests
// inside it. disp_erVals is stored after mutex_ is released. The hooks are
// set once at start, before any task uses the display.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/gpio_requests.h"

class GpioDevice;
class ParamTable;

class StatusDisplay {
 public:
  // show() flags
  static constexpr int kDot1 = 0x01;
  static constexpr int kDot2 = 0x02;
  static constexpr int kAdd = 0x04;
  static constexpr int kRemove = 0x08;
  static constexpr int kLock = 0x10;
  static constexpr int kBlinkA = 0x20;
  static constexpr int kBlinkB = 0x40;
  // state bits
  static constexpr uint32_t kPower1Missing = 0x01;
  static constexpr uint32_t kPower2Missing = 0x02;
  static constexpr uint32_t kLocked = 0x10;
  static constexpr int kMaxCodes = 8;
  static constexpr uint32_t kPowerEvent = 0x200000;

  StatusDisplay(GpioDevice& device, ParamTable& params);

  // Shows, adds, replaces or removes a code (see the flags); 1 on success.
  bool show(char first, char second, int flags);
  // disp_def with flags 0.
  bool showDefault();
  // One step of the start-up segment chase; -1 blanks the display.
  void setSegments(int step);
  // Power inputs, "E1", the warning beeps and the rotation of the listed
  // codes; called every other second by the supervision loop. Returns 1.
  int poll();

  uint32_t state() const;
  // The listed codes as disp_erVals shows them ("E5, E1").
  std::string listText() const;

  // Posts the power event (kPowerEvent with the raw input word) to the
  // notification service; empty while there is none.
  void setPowerEventHook(std::function<void(uint32_t inputWord)> hook) { powerEvent_ = std::move(hook); }
  // The SD card state (3 = mounted read-write); empty without a card slot.
  void setSdCardStateSource(std::function<int()> source) { sdCardState_ = std::move(source); }

  // The display request of a code (dots from flags and state, blink words).
  static DisplayCommand command(char first, char second, int flags, uint32_t state);

 private:
  struct Code {
    char first = 0;  // 0 = free entry
    char second = 0;
    int flags = 0;
  };

  std::string listTextLocked() const;
  void storeListText(const std::string& text);
  bool onPanel() const;
  void rotate();
  void warnByBeep(uint32_t powerState);

  GpioDevice& device_;
  ParamTable& params_;
  mutable std::mutex mutex_;
  std::array<Code, kMaxCodes> codes_{};
  uint32_t state_ = 0;
  int current_ = -1;
  int addCounter_ = 0;
  bool powerBaseline_ = false;  // a power-input read has succeeded
  std::function<void(uint32_t)> powerEvent_;
  std::function<int()> sdCardState_;
};
