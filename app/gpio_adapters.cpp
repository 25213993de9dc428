#include "app/gpio_adapters.h"

#include <cstdint>

#include "core/gpio_requests.h"
#include "usbserver/usb_device_table.h"

void GpioUsbPortOutputs::setPortLed(int portIndex, int colour, int rate) {
  device_.setLed(portIndex, colour, rate);
}

void GpioUsbPortOutputs::setPortPower(int portIndex, bool on) { device_.setOutput(portIndex, on); }

void GpioUsbPortOutputs::beep(int kind) { device_.beep(kind); }

bool GpioUsbPortOutputs::cardPresence(int& value) {
  uint32_t word = 0;
  if (device_.ioctl(kGpioCardPresence, &word) != 0) return false;
  value = static_cast<int>(word);
  return true;
}

void GpioUsbPortOutputs::flashActivity() { device_.flashActivity(); }

void GpioUsbPortOutputs::signalAddress(bool addressSet) {
  if (addressSet) {
    device_.signalAddressSet();
  } else {
    device_.signalNoAddress();
  }
}

bool usbDeviceInUse(UsbDeviceTable& table) {
  constexpr int kWatchedEntries = 8;
  constexpr int kConnectedField = 5;
  for (int index = 0; index < kWatchedEntries; ++index) {
    char text[8];
    if (table.usbDeviceInfo(index, kConnectedField, text, sizeof text) > 0) return true;
  }
  return false;
}
