#pragma once
// A simulated USB device's function: its descriptors and what it does with
// the transfers the simulated host controller gives it. The host keeps the
// standard device state (configuration, alternate settings, halts, claims);
// a model only sees the requests that reach the function. Every call is made
// with the host's lock held, from whichever thread drives the host.
#include <cerrno>
#include <cstdint>
#include <span>
#include <string>

#include "sim/usb/sim_usb_descriptors.h"

struct SimSetup {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;

  bool isIn() const { return (requestType & 0x80) != 0; }
};

class SimUsbModel {
 public:
  virtual ~SimUsbModel() = default;

  // The model name used by the control socket ("storage", "keyboard", "key").
  virtual std::string name() const = 0;

  virtual const SimDeviceDescription& description() const = 0;

  // A class or vendor request, or a standard request the host does not
  // answer itself. IN: fill `data` (wLength bytes) and return the count; OUT:
  // `data` holds the OUT bytes, return 0. -EPIPE stalls the request.
  virtual int control(const SimSetup& setup, std::span<uint8_t> data) = 0;

  // OUT data for `endpoint`: 0 when taken, -EAGAIN while the function cannot
  // take it yet (the transfer waits), -EPIPE to stall the endpoint.
  virtual int receive(uint8_t endpoint, std::span<const uint8_t> data) = 0;

  // An IN transfer of up to buffer.size() bytes: the count sent, -EAGAIN
  // while the function has nothing to send (the transfer waits), -EPIPE to
  // stall the endpoint.
  virtual int send(uint8_t endpoint, std::span<uint8_t> buffer) = 0;

  // A port reset of the device.
  virtual void busReset() {}

  // The host cleared the halt of `endpoint`.
  virtual void haltCleared(uint8_t /*endpoint*/) {}

  // A HID input report injected from outside; -EOPNOTSUPP for other models.
  virtual int injectReport(std::span<const uint8_t> /*report*/) { return -EOPNOTSUPP; }
};
