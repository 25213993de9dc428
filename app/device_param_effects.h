#pragma once
// What applying changed settings does to the hardware: port power, relay and
// status display through the GPIO device, the wired link mask through the
// interface. The SD card's part (its state, the device log on it) belongs to
// the SD card service; until one is given, the card counts as absent and
// nothing is written to it.
//
// Called by ParamTable without a parameter mutex held; the device and the
// interface serialise themselves. The card functions are set once at start,
// before settings can change.
#include <functional>
#include <string>

#include "params/param_effects.h"

class GpioDevice;
class NetInterface;

class DeviceParamEffects : public ParamEffects {
 public:
  DeviceParamEffects(GpioDevice& gpio, NetInterface& wired) : gpio_(gpio), wired_(wired) {}

  void setCardSide(std::function<int()> cardState, std::function<void(const std::string&)> writeDeviceLog);

  void setPortPower(int port0, bool powered) override;
  void setRelay(bool on) override;
  bool hasDisplay() override;
  void displayShow(char first, char second, int flags) override;
  int displayState() override;
  int wiredLinkMask() override;
  int sdCardState() override;
  void writeDeviceLog(const std::string& dir) override;
  void syncFs() override;

 private:
  GpioDevice& gpio_;
  NetInterface& wired_;
  std::function<int()> cardState_;
  std::function<void(const std::string&)> writeDeviceLog_;
};
