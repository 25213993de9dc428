#pragma once
// Port outputs for tests that do not look at LEDs, power or the beeper.
#include "usbserver/usb_port_events.h"

class NoPortOutputs : public UsbPortOutputs {
 public:
  void setPortLed(int, int, int) override {}
  void setPortPower(int, bool) override {}
  void beep(int) override {}
  bool cardPresence(int&) override { return false; }
  void signalAddress(bool) override {}
  void flashActivity() override {}
};
