#pragma once
// GpioDevice: the appliance's own hardware behind the GPIO driver: USB port
// power, relay and beeper outputs, LEDs with the patterns the driver plays
// by itself, the inputs, the driver's tick counter and the buttons. One
// object per process; every driver request goes through its backend under
// the device mutex.
//
// Locks: deviceMutex_ guards every backend call and open_; nothing else is
// taken while it is held. The StatusDisplay's mutex and the tick clock's
// mutex (through the counter source) nest outside it; the NetInterface
// mutex may be held by callers. beepMutex_ guards runningBeeps_ only.
// The words learnt at start (enabled, LED mask, driver word, button mask,
// started) are atomics, written by start and read anywhere. probeMutex_
// guards probed_ only.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "core/gpio_backend.h"
#include "core/gpio_board.h"
#include "core/gpio_requests.h"

class ParamTable;
class StatusDisplay;
class Task;
struct ProductInfo;

class GpioDevice {
 public:
  // Output bits.
  static constexpr int kRelayOutput = 29;
  static constexpr int kPanelBeeperOutput = 31;
  static constexpr int kBeeperOutput = 0;

  // Reads the board layout, the USB port count and the variant from the
  // product identity; reads its settings by name from `params` when used.
  GpioDevice(GpioBackend& backend, ParamTable& params, const ProductInfo& product);
  ~GpioDevice();
  GpioDevice(const GpioDevice&) = delete;
  GpioDevice& operator=(const GpioDevice&) = delete;

  // Opens /dev/gpio and makes its counter the tick clock's source. A failure
  // is reported on standard error.
  bool open();
  // Probe, LED map, start-up chase (with a task), buttons, staggered port
  // power and relay; sets started. Called once by the "GPio" task.
  bool start(Task* task);
  // Plays the closing flash when enabled, closes the device and gives the
  // tick clock back to CLOCK_MONOTONIC.
  bool close();

  // One driver request under the device mutex: the backend's result, -1
  // when the device is not open.
  int ioctl(unsigned long request, void* argument);

  bool setOutput(int bit, bool on);
  // The relay line is active low (output 29); only with the relay feature.
  bool setRelay(bool on);
  // 1: one beep of 400 ms; 2: two beeps of 100 ms; other: one of 100 ms.
  // Only on hardware with the beeper feature; each call plays in its own
  // detached thread with its own duration and count.
  bool beep(int kind);
  // colour 0 off, 1, 2, 3 both; rate > 0 blinks rate times a second.
  bool setLed(int index, int colour, int rate);
  // The colour the LED shows (0 to 3).
  int ledState(int index);
  bool flashActivity();
  bool signalAddressSet();
  bool signalNoAddress();
  // 0 not connected, 1 ad-hoc, 2 access point, 3 WPS running.
  bool setWlanLed(int state);

  // A button device /dev/button<n> for the caller to watch and close; -1
  // when absent.
  int openButton(int n) { return backend_.openButton(n); }

  StatusDisplay& display() { return *display_; }
  const GpioBoard& board() const { return board_; }
  int usbPorts() const { return usbPorts_; }
  bool isOpen() const { return open_.load(std::memory_order_acquire); }
  bool enabled() const { return enabled_.load(std::memory_order_acquire); }
  bool started() const { return started_.load(std::memory_order_acquire); }
  // Whether the driver plays LED patterns is known once start() has probed
  // it, on the "GPio" task; waits up to `limit` for that. false at the limit
  // (enabled() then still reads false).
  bool awaitProbe(std::chrono::milliseconds limit);
  uint32_t ledMask() const { return ledMask_.load(std::memory_order_acquire); }
  uint32_t driverWord() const { return driverWord_.load(std::memory_order_acquire); }
  uint32_t buttonMask() const { return buttonMask_.load(std::memory_order_acquire); }
  ParamTable& params() { return params_; }

 private:
  bool request(unsigned long request, void* argument) { return ioctl(request, argument) == 0; }
  bool playPattern(const LedPattern& pattern);
  bool setPanelLed(int index, int colour);
  bool probeAndMapLeds();
  void startBeep();
  void chase(Task& task);
  void configureButtons();
  void powerPorts(Task* task);
  void applyRelaySetting();
  void beepThread(int output, int durationMs, int count);
  int featureWord() const;

  GpioBackend& backend_;
  ParamTable& params_;
  const GpioBoard board_;
  const int usbPorts_;
  const uint32_t productId_;

  std::mutex deviceMutex_;
  std::atomic<bool> open_{false};
  std::atomic<bool> enabled_{false};
  std::atomic<uint32_t> ledMask_{0};
  std::atomic<uint32_t> driverWord_{0};
  std::atomic<uint32_t> buttonMask_{0};
  std::atomic<bool> started_{false};
  std::mutex probeMutex_;
  std::condition_variable probeDone_;
  bool probed_ = false;
  std::unique_ptr<StatusDisplay> display_;

  std::mutex beepMutex_;
  std::condition_variable beepsDone_;
  int runningBeeps_ = 0;
};
