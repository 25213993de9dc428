#pragma once
// The simulated GPIO and button drivers: they answer every request as the
// drivers of the selected board would, keep the state those requests
// change, and record each request in a journal. Buttons are FIFOs
// <root>/dev/button<n>: writing characters into one is a button press.
//
// Locking: mutex_ guards every member below it; it is the innermost lock
// (GpioDevice's device mutex and the control socket's thread call in).
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/gpio_backend.h"
#include "core/gpio_board.h"
#include "core/gpio_requests.h"

struct SimGpioProfile {
  GpioBoard board;
  int ports = 4;               // USB ports with an LED
  uint32_t buttonMask = 0x1;   // /dev/button<n> present for bit n
  uint32_t driverWord = 0x00010002;
  // Only the card-reader board's driver answers the card presence request.
  bool cardSlot = false;
};

// The drivers of a product: the board layout of its gpio_hw_project value
// and its physical USB ports; one button.
SimGpioProfile simGpioProfileFor(uint32_t gpioHwProject, int usbPorts);

// One request as the driver saw it: the argument words after the call
// (what the caller wrote, or what the driver answered), and the result.
struct SimGpioRecord {
  uint64_t sequence = 0;
  int64_t timeMs = 0;  // CLOCK_MONOTONIC
  bool buttonDevice = false;
  unsigned long request = 0;
  std::vector<uint32_t> words;
  int result = 0;
};

class SimGpioDriver : public GpioBackend {
 public:
  static constexpr size_t kJournalLimit = 8192;

  explicit SimGpioDriver(SimGpioProfile profile);

  bool open() override;
  void close() override;
  int ioctl(unsigned long request, void* argument) override;
  bool openButtonControl() override;
  int buttonControlIoctl(unsigned long request, void* argument) override;
  void closeButtonControl() override;
  int openButton(int n) override;

  // ---- the simulated world ----
  void setPowerInput(int input, bool present);  // input 1 or 2
  void setCard(bool present);
  // The next `count` requests of that number fail with EIO.
  void failNext(unsigned long request, int count);
  void warp(int64_t ticks);
  // Writes the characters into button n's FIFO; 0 or -errno.
  int pressButton(int n, const std::string& characters);

  // ---- observation ----
  std::vector<SimGpioRecord> journal(uint64_t sinceSequence = 0) const;
  uint32_t outputs() const;
  uint32_t ledRegister() const;
  uint32_t ledMask() const { return ledMask_; }
  DisplayCommand display() const;
  uint32_t segments() const;
  const SimGpioProfile& profile() const { return profile_; }
  std::string stateText() const;
  static std::string recordText(const SimGpioRecord& record);

 private:
  int serve(unsigned long request, void* argument, std::vector<uint32_t>& words);
  int serveButtonControl(unsigned long request, void* argument, std::vector<uint32_t>& words);
  bool takeFailure(unsigned long request);
  void record(bool buttonDevice, unsigned long request, std::vector<uint32_t> words, int result);
  uint32_t litBits(uint32_t asked) const;
  std::string buttonPath(int n) const;

  const SimGpioProfile profile_;
  const uint32_t ledMask_;
  const bool playsPatterns_;

  mutable std::mutex mutex_;
  bool open_ = false;
  bool buttonControlOpen_ = false;
  uint32_t outputs_ = 0;
  uint32_t ledRegister_ = 0;
  std::map<int, LedPattern> patterns_;  // the last pattern of each register bit
  LedConfig ledConfig_;                 // bank values and segments as last written
  DisplayCommand display_;
  uint32_t inputs_ = 0x3;
  bool card_ = false;
  int64_t warpTicks_ = 0;
  ButtonConfig buttonConfig_;
  std::map<unsigned long, int> failures_;
  std::deque<SimGpioRecord> journal_;
  uint64_t nextSequence_ = 1;
};
