#include "app/appliance_gpio.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

#include "core/blinker.h"
#include "core/gpio_requests.h"
#include "core/gpio_task.h"
#include "core/linux_gpio_backend.h"
#include "core/status_display.h"
#include "notify/event_codes.h"
#include "notify/notify_registry.h"
#include "params/param_table.h"
#include "params/product.h"
#include "params/product_info.h"
#include "sim/gpio/sim_gpio_commands.h"
#include "sim/gpio/sim_gpio_driver.h"

namespace {

// The probe is the first request of the "GPio" task; a task that has not
// made it by then is stuck, and its board is treated as one without patterns.
constexpr std::chrono::milliseconds kProbeLimit{5000};

std::unique_ptr<SimGpioDriver> simulatedDriver(const ProductInfo& product, bool simulated) {
  if (!simulated) return nullptr;
  SimGpioProfile profile = simGpioProfileFor(product.gpio_hw_project, static_cast<int>(product.usb_ports_phy));
  profile.cardSlot = hasProductProperty(product, CardReader);
  return std::make_unique<SimGpioDriver>(profile);
}

// A task that did not start is still ours to delete.
bool startTask(Task* task, int stackSize) {
  if (task->start(stackSize) > 0) return true;
  std::fprintf(stderr, "%s: start failed\n", task->name());
  delete task;
  return false;
}

void postPowerEvent(uint32_t inputWord) {
  if (postEvent(NOTI_POWER, static_cast<int32_t>(inputWord))) notifyEvent(NOTI_POWER);
}

}  // namespace

ApplianceGpio::ApplianceGpio(ParamTable& params, const ProductInfo& product, bool simulated)
    : product_(product),
      simDriver_(simulatedDriver(product, simulated)),
      linuxBackend_(simulated ? nullptr : std::make_unique<LinuxGpioBackend>()),
      device_(std::make_unique<GpioDevice>(simDriver_ ? static_cast<GpioBackend&>(*simDriver_) : *linuxBackend_,
                                           params, product)),
      addressIndicator_(*device_),
      relaySwitch_(*device_),
      usbPortOutputs_(*device_) {
  // Set before any task can reach the display.
  device_->display().setPowerEventHook(postPowerEvent);
}

ApplianceGpio::~ApplianceGpio() = default;

void ApplianceGpio::registerSimCommands(SimCommandRegistry& registry) {
  if (simDriver_) simCommands_ = std::make_unique<SimGpioCommands>(*simDriver_, registry);
}

bool ApplianceGpio::openAndStart() {
  if (!device_->open()) return false;
  taskStarted_ = startTask(new GpioTask(*device_, product_), GpioTask::kStackSize);
  return true;
}

bool ApplianceGpio::playsPatterns() {
  if (!taskStarted_ || !device_->isOpen()) return false;
  if (!device_->awaitProbe(kProbeLimit)) std::fprintf(stderr, "GPIO: the driver was not probed in time\n");
  return device_->enabled();
}

void ApplianceGpio::setUpLedRegister() {
  if (playsPatterns()) return;
  for (uint32_t setup : {0x228u, 0x3000000u}) device_->ioctl(kGpioLedRegister, &setup);
}

void ApplianceGpio::startBlinkerIfNeeded(std::function<bool()> usbInUse) {
  if (playsPatterns()) return;
  startTask(new Blinker(*device_, std::move(usbInUse)), Blinker::kStackSize);
}

void ApplianceGpio::close() { device_->close(); }
