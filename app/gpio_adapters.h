#pragma once
// The GPIO device as the other subsystems see it: each subsystem owns a small
// interface for the outputs and inputs it needs, and these adapters answer
// them through the one GpioDevice. They hold no state of their own.
#include "core/gpio_device.h"
#include "net/net_interface.h"
#include "notify/relay_controller.h"
#include "usbserver/usb_port_events.h"

// The status LED follows the address configuration of the interface.
class GpioAddressIndicator : public AddressIndicator {
 public:
  explicit GpioAddressIndicator(GpioDevice& device) : device_(device) {}
  void signalAddressSet() override { device_.signalAddressSet(); }
  void signalNoAddress() override { device_.signalNoAddress(); }

 private:
  GpioDevice& device_;
};

// The relay controller's decisions reach the relay output.
class GpioRelaySwitch : public RelaySwitch {
 public:
  explicit GpioRelaySwitch(GpioDevice& device) : device_(device) {}
  void setRelay(bool on) override { device_.setRelay(on); }

 private:
  GpioDevice& device_;
};

// The USB server's port LEDs, port power, beeper, card slot and status LED.
class GpioUsbPortOutputs : public UsbPortOutputs {
 public:
  explicit GpioUsbPortOutputs(GpioDevice& device) : device_(device) {}
  void setPortLed(int portIndex, int colour, int rate) override;
  void setPortPower(int portIndex, bool on) override;
  void beep(int kind) override;
  bool cardPresence(int& value) override;
  void signalAddress(bool addressSet) override;
  void flashActivity() override;

 private:
  GpioDevice& device_;
};

class UsbDeviceTable;

// The Blinker's "in use": a device in one of the first eight entries of the
// USB device table is connected to a client.
bool usbDeviceInUse(UsbDeviceTable& table);
