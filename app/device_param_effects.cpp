#include "app/device_param_effects.h"

#include <unistd.h>

#include "core/gpio_device.h"
#include "core/status_display.h"
#include "net/net_interface.h"

namespace {

constexpr int kNoCard = 0;
// linkUp leaves the mask as it was when it cannot read the PHYs: both links
// count as up then, as the display settings expect.
constexpr int kBothLinks = 0x11;

}  // namespace

void DeviceParamEffects::setCardSide(std::function<int()> cardState,
                                     std::function<void(const std::string&)> writeDeviceLog) {
  cardState_ = std::move(cardState);
  writeDeviceLog_ = std::move(writeDeviceLog);
}

void DeviceParamEffects::setPortPower(int port0, bool powered) { gpio_.setOutput(port0, powered); }

void DeviceParamEffects::setRelay(bool on) { gpio_.setRelay(on); }

bool DeviceParamEffects::hasDisplay() { return gpio_.board().layout == GpioLayout::Panel; }

void DeviceParamEffects::displayShow(char first, char second, int flags) { gpio_.display().show(first, second, flags); }

int DeviceParamEffects::displayState() { return static_cast<int>(gpio_.display().state()); }

int DeviceParamEffects::wiredLinkMask() {
  int mask = kBothLinks;
  wired_.linkUp(&mask);
  return mask;
}

int DeviceParamEffects::sdCardState() { return cardState_ ? cardState_() : kNoCard; }

void DeviceParamEffects::writeDeviceLog(const std::string& dir) {
  if (writeDeviceLog_) writeDeviceLog_(dir);
}

void DeviceParamEffects::syncFs() { ::sync(); }
