#pragma once
// What the supervision loop reads and does in the running process: the task
// table and run state, the wired interface's link, the GPIO device's inputs,
// beeper, status display and LED 0, the notification service and the relay
// controller, and the card slot's parameters.
//
// Used by the loop on main's thread only; the device, the interface and the
// parameters serialise themselves.
#include <cstdint>

#include "app/supervisor.h"

class GpioDevice;
class NetInterface;
class UsbServer;
struct ProductInfo;

class ApplianceSupervisorPort : public SupervisorPort {
 public:
  // usbServer may be null (no USB server in this process).
  ApplianceSupervisorPort(NetInterface& wired, GpioDevice& gpio, const ProductInfo& product,
                          UsbServer* usbServer = nullptr);

  int taskCount() override;
  int shutdowns() override;
  int64_t stopStamp() override;
  int wiredLinkMask() override;
  bool wiredLinkUp() override;
  bool readPowerInputs(uint32_t& word) override;
  bool readCardPresence(bool& present) override;
  int cpuLoadPoll() override;
  bool beepOnLinkLoss() override;
  bool relayFollowsEvents() override;
  void sampleLoad() override {}
  void pollDisplay() override;
  void linkChanged(int mask, bool good) override;
  void beep() override;
  void relayEvent(uint32_t code) override;
  void cardChanged(bool present) override;
  void showCard(bool present) override;
  void requestStop() override;
  void startShutDown() override;
  void restorePortPower() override;

 private:
  NetInterface& wired_;
  GpioDevice& gpio_;
  UsbServer* usbServer_;
  const uint32_t features_;
  int cardLedColour_ = 0;  // the last colour LED 0 showed, 0: none seen
};
