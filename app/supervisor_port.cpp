#include "app/supervisor_port.h"

#include "core/gpio_device.h"
#include "core/gpio_requests.h"
#include "core/run_state.h"
#include "core/shutdown_task.h"
#include "core/status_display.h"
#include "core/task_table.h"
#include "core/util_translate.h"
#include "net/net_interface.h"
#include "notify/event_codes.h"
#include "notify/notify_registry.h"
#include "notify/relay_controller.h"
#include "params/param_classes.h"
#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product.h"
#include "usbserver/usb_server.h"

ApplianceSupervisorPort::ApplianceSupervisorPort(NetInterface& wired, GpioDevice& gpio, const ProductInfo& product,
                                                 UsbServer* usbServer)
    : wired_(wired), gpio_(gpio), usbServer_(usbServer), features_(featureWordOf(product)) {}

int ApplianceSupervisorPort::taskCount() { return listedTaskCount(); }
int ApplianceSupervisorPort::shutdowns() { return runState().shutdowns.load(); }
int64_t ApplianceSupervisorPort::stopStamp() { return runState().stopStamp(); }

int ApplianceSupervisorPort::wiredLinkMask() {
  int mask = 0;
  wired_.linkUp(&mask);
  return mask;
}

bool ApplianceSupervisorPort::wiredLinkUp() { return wired_.linkUp(); }

bool ApplianceSupervisorPort::readPowerInputs(uint32_t& word) { return gpio_.ioctl(kGpioInputs, &word) == 0; }

bool ApplianceSupervisorPort::readCardPresence(bool& present) {
  uint32_t word = 0;
  if (gpio_.ioctl(kGpioCardPresence, &word) != 0) return false;
  present = word != 0;
  return true;
}

int ApplianceSupervisorPort::cpuLoadPoll() { return parameters().cpuLoadPoll->value(); }
bool ApplianceSupervisorPort::beepOnLinkLoss() { return parameters().beepLnk->isOn(); }

bool ApplianceSupervisorPort::relayFollowsEvents() {
  const auto* ctrl = paramTable().findAs<P3List>("relay_ctrl");
  return (features_ & FeatureRelay) && ctrl && ctrl->is("eve");
}

void ApplianceSupervisorPort::pollDisplay() { gpio_.display().poll(); }

void ApplianceSupervisorPort::linkChanged(int mask, bool good) {
  if (postEvent(NOTI_LINK, mask)) notifyEvent(NOTI_LINK);
  if (parameters().disp_lnk->isOn()) {
    gpio_.display().show('E', '5', good ? StatusDisplay::kRemove : StatusDisplay::kAdd | StatusDisplay::kBlinkA);
  }
}

void ApplianceSupervisorPort::beep() { gpio_.beep(0); }
void ApplianceSupervisorPort::relayEvent(uint32_t code) { ::relayEvent(code); }

void ApplianceSupervisorPort::cardChanged(bool present) {
  const char* values[][2] = {{"usb_manu_1", present ? "CardReader" : "-"},
                             {"usb_prod_1", present ? "MemoryCard" : "-"},
                             {"usb_sern_1", present ? "?" : "-"}};
  for (const auto& [name, value] : values) {
    if (Param* p = paramTable().find(name)) p->setFromText(value);
  }
  if (Param* owner = paramTable().find("usb_owner_1")) owner->setFromText(present ? getmuText("Available") : "-");
}

void ApplianceSupervisorPort::showCard(bool present) {
  // LED 0 also shows the USB port's own state; a card brings back the
  // colour it last had.
  if (const int colour = gpio_.ledState(0); colour != 0) cardLedColour_ = colour;
  gpio_.setLed(0, present ? (cardLedColour_ != 0 ? cardLedColour_ : 1) : 0, 0);
}

void ApplianceSupervisorPort::requestStop() { runState().shutdowns.fetch_add(1); }
void ApplianceSupervisorPort::startShutDown() { ShutDown::launch(1); }

void ApplianceSupervisorPort::restorePortPower() {
  if (usbServer_) usbServer_->restorePortPower();
}
