#pragma once
// A HID boot keyboard (interface 03/01/01, interrupt IN 0x81, 8-byte
// reports). An interrupt transfer waits until a report is injected; the
// class requests a host driver sends (SET_IDLE, SET_PROTOCOL, SET_REPORT for
// the LEDs, GET_REPORT, GET_IDLE, GET_PROTOCOL) and the report descriptor
// (GET_DESCRIPTOR to the interface) are answered.
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/usb/sim_model_options.h"
#include "sim/usb/sim_usb_model.h"

class SimHidKeyboard final : public SimUsbModel {
 public:
  static constexpr uint8_t kInterruptIn = 0x81;
  static constexpr size_t kReportSize = 8;
  static constexpr size_t kMaxQueuedReports = 256;

  explicit SimHidKeyboard(const SimModelOptions& options);

  std::string name() const override { return "keyboard"; }
  const SimDeviceDescription& description() const override { return description_; }
  int control(const SimSetup& setup, std::span<uint8_t> data) override;
  int receive(uint8_t endpoint, std::span<const uint8_t> data) override;
  int send(uint8_t endpoint, std::span<uint8_t> buffer) override;
  void busReset() override;
  int injectReport(std::span<const uint8_t> report) override;

  uint8_t leds() const { return leds_; }

 private:
  SimDeviceDescription description_;
  std::deque<std::vector<uint8_t>> reports_;
  std::vector<uint8_t> lastReport_ = std::vector<uint8_t>(kReportSize, 0);
  uint8_t idle_ = 0;
  uint8_t protocol_ = 1;  // report protocol until the host selects boot
  uint8_t leds_ = 0;
};
