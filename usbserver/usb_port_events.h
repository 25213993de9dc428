#pragma once
// What follows the four things that happen to a device in the table
// (plug-in, removal, connect, disconnect): the device-slot status
// parameters, the notification events, the relay events and the port LEDs,
// and the port power-off timers a disconnect may start. Also answers the
// settings the request handlers and the server tasks read per request.
//
// Locking: stateMutex_ guards the LED use counters, the connected count and
// the power-off deadlines, and is held across the LED and power output
// calls it decides, so the outputs follow the counters in the same order.
// It is a leaf lock: no parameter or table lock is taken while it is held.
// Parameters are read and written under their own mutexes, the table is
// read through usbDeviceInfo (its own locks); the events run on the calling
// task with no other lock of this class held.
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "usbserver/usb_device_events.h"
#include "usbserver/usb_server_hooks.h"

class ParamTable;
class UsbClock;
class UsbDeviceTable;

// The port LEDs and port power of the device I/O.
class UsbPortOutputs {
 public:
  virtual ~UsbPortOutputs() = default;
  // GpioDevice::setLed(portIndex, colour, rate)
  virtual void setPortLed(int portIndex, int colour, int rate) = 0;
  // GpioDevice::setOutput(portIndex, on ? 1 : 0)
  virtual void setPortPower(int portIndex, bool on) = 0;
  // GpioDevice::beep(kind)
  virtual void beep(int kind) = 0;
  // GpioDevice::ioctl(0x80040AAF, &value): the card presence word; false
  // when the driver does not answer the request.
  virtual bool cardPresence(int& value) = 0;
  // GpioDevice::signalAddressSet (true) or GpioDevice::signalNoAddress
  virtual void signalAddress(bool addressSet) = 0;
  // GpioDevice::flashActivity(): one flash of the activity LED
  virtual void flashActivity() = 0;
};

// One LED per port, or one common LED for all ports.
enum class UsbLedScheme { PerPort, Common };

class UsbPortEvents : public UsbDeviceEvents, public UsbServerHooks {
 public:
  static constexpr int kPorts = 20;
  // LED colours
  static constexpr int kLedOff = 0;
  static constexpr int kLedDevice = 1;
  static constexpr int kLedConnected = 2;

  // portCount is usb_port_phy of the product identity; devicesStarted
  // tells whether the device I/O finished its start-up.
  UsbPortEvents(ParamTable& params, UsbPortOutputs& outputs, UsbClock& clock, UsbLedScheme scheme,
                int portCount, std::function<bool()> devicesStarted);

  // The table takes this object in its constructor, so it is given here
  // once it exists; events before that do nothing.
  void setDeviceTable(UsbDeviceTable* table) { table_ = table; }

  // UsbDeviceEvents
  void onUsbDevicePlugged(int index) override;
  void onUsbDeviceRemoved(int index) override;
  // Both the table and the request handlers raise it.
  void onUsbDeviceDisconnected(int index) override;

  // UsbServerHooks
  std::string sysName() const override;
  std::string portTag(int port) const override;
  std::string slotOwner(int slot) const override;
  int portCount() const override { return portCount_; }
  int heartbeatSeconds() const override;
  int plainPort() const override;
  int tlsPort() const override;
  bool portPowerSwitching() const override;
  // 1: port 1 is a card slot reported empty; 2: the port's power is held
  // off by a timer; 0 otherwise.
  int portPowerOffState(int port) const override;
  void powerOffPort(int portIndex, int64_t ticks) override;
  void onUsbDeviceConnected(int index, const std::string& clientName) override;
  bool devicesStarted() const override { return devicesStarted_ && devicesStarted_(); }

  // Switches on every port whose power-off deadline has passed (called in
  // every pass of main's supervision loop).
  void restorePortPower();

 private:
  struct Device {
    int port = 0;
    int vendorId = 0;
    int productId = 0;
    std::string manufacturer, product, serial;
  };
  // The entry's port (1..usb_port_phy) and texts; false when the event
  // does not apply to it.
  bool readDevice(int index, Device& out) const;
  uint32_t features() const;
  // Family member n, or `missing` when it is absent or hidden.
  std::string textOf(const char* family, int n, const char* missing) const;
  // A single parameter; empty when absent or hidden.
  std::string textOf(const char* name) const;
  void setText(const char* family, int n, const std::string& text);
  int numberOf(const char* name, int fallback) const;
  void post(uint32_t code, const Device& d, const char* user);
  bool portOneIsCardReader();

  ParamTable& params_;
  UsbPortOutputs& outputs_;
  UsbClock& clock_;
  const UsbLedScheme scheme_;
  const int portCount_;
  const std::function<bool()> devicesStarted_;
  UsbDeviceTable* table_ = nullptr;

  mutable std::mutex stateMutex_;
  std::array<int, kPorts> ledCounters_{};    // guarded by stateMutex_
  int connectedCount_ = 0;                   // guarded by stateMutex_
  std::array<int64_t, kPorts> powerOffUntil_{};  // guarded by stateMutex_; 0: none
};
