#pragma once
// What applying parameter changes does to the hardware, and what saving
// needs to know of the SD card. ParamTable receives one of these at start;
// without one, changes are applied to the parameters alone and the card is
// taken as absent.
#include <string>

class ParamEffects {
 public:
  virtual ~ParamEffects() = default;

  // GpioDevice::setOutput(port output, powered): USB port power, port0 from 0.
  virtual void setPortPower(int port0, bool powered) = 0;
  // GpioDevice::setRelay(on)
  virtual void setRelay(bool on) = 0;
  // StatusDisplay present on this hardware (GpioDevice's display)
  virtual bool hasDisplay() = 0;
  // StatusDisplay::show(code, flags): flags 0 shows, 8 removes, 0x24 adds
  // the code blinking.
  virtual void displayShow(char first, char second, int flags) = 0;
  // StatusDisplay state word: missing power inputs and lock bits.
  virtual int displayState() = 0;
  // NetInterface::linkUp(&mask) on a mask preset to 17 (both PHYs linked);
  // returns the mask afterwards.
  virtual int wiredLinkMask() = 0;
  // SD card state: 0 no card, 1 unusable, 2 write protected, 3 usable.
  virtual int sdCardState() = 0;
  // writeDeviceLog(dir): rewrites the device log on the card; dir is a
  // system path ("/var/slot1") that the callee resolves with sysPath.
  virtual void writeDeviceLog(const std::string& dir) = 0;
  // sync()
  virtual void syncFs() = 0;
};
