#pragma once
// The appliance's own hardware in the process: the GPIO and button drivers
// (simulated under --sim), the one GpioDevice over them, its "GPio" and
// "Blinker" tasks, and the adapters through which the network interface,
// the relay controller and the USB server reach it.
//
// Everything here is built before the first task starts and lives until the
// process ends; the device's own mutex serialises every request.
#include <functional>
#include <memory>

#include "app/gpio_adapters.h"

class GpioBackend;
class ParamTable;
class SimCommandRegistry;
class SimGpioCommands;
class SimGpioDriver;
struct ProductInfo;

class ApplianceGpio {
 public:
  ApplianceGpio(ParamTable& params, const ProductInfo& product, bool simulated);
  ~ApplianceGpio();
  ApplianceGpio(const ApplianceGpio&) = delete;
  ApplianceGpio& operator=(const ApplianceGpio&) = delete;

  // The simulated drivers' control words (gpio, button, power, card, fail);
  // nothing without the simulation.
  void registerSimCommands(SimCommandRegistry& registry);

  // Opens /dev/gpio and starts the "GPio" task, which starts the device.
  // false when the device did not open (no task then).
  bool openAndStart();
  // A driver without LED patterns gets its LED register set up.
  void setUpLedRegister();
  // The "Blinker" drives the status LED when the driver plays no patterns.
  // usbInUse tells whether a USB device is connected to a client.
  void startBlinkerIfNeeded(std::function<bool()> usbInUse);
  void close();

  GpioDevice& device() { return *device_; }
  AddressIndicator& addressIndicator() { return addressIndicator_; }
  RelaySwitch& relaySwitch() { return relaySwitch_; }
  UsbPortOutputs& usbPortOutputs() { return usbPortOutputs_; }

 private:
  // Waits for the "GPio" task's probe; false when the driver plays no LED
  // patterns or the device never started.
  bool playsPatterns();

  const ProductInfo& product_;
  // One of the two drivers: the simulation or the real devices.
  std::unique_ptr<SimGpioDriver> simDriver_;
  std::unique_ptr<GpioBackend> linuxBackend_;
  std::unique_ptr<SimGpioCommands> simCommands_;
  std::unique_ptr<GpioDevice> device_;
  GpioAddressIndicator addressIndicator_;
  GpioRelaySwitch relaySwitch_;
  GpioUsbPortOutputs usbPortOutputs_;
  bool taskStarted_ = false;
};
