#pragma once
// A vendor-class "key" device: whatever arrives on bulk OUT 0x01 comes back
// on bulk IN 0x82, in order. Vendor IN request 0xC0/1 answers a challenge
// (wValue, wIndex) from the device's secret; vendor OUT 0x40/1 stores up to
// 64 bytes that vendor IN 0xC0/2 returns. Two configurations: the second
// has its bulk endpoints only in alternate setting 1. The interface string
// (index 4) stalls.
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/usb/sim_model_options.h"
#include "sim/usb/sim_usb_model.h"

class SimLoopbackKey final : public SimUsbModel {
 public:
  static constexpr uint8_t kBulkOut = 0x01;
  static constexpr uint8_t kBulkIn = 0x82;
  static constexpr size_t kFifoLimit = 4u << 20;
  static constexpr size_t kRegisterSize = 64;

  explicit SimLoopbackKey(const SimModelOptions& options);

  std::string name() const override { return "key"; }
  const SimDeviceDescription& description() const override { return description_; }
  int control(const SimSetup& setup, std::span<uint8_t> data) override;
  int receive(uint8_t endpoint, std::span<const uint8_t> data) override;
  int send(uint8_t endpoint, std::span<uint8_t> buffer) override;
  void busReset() override;

 private:
  SimDeviceDescription description_;
  std::string secret_;
  std::deque<std::vector<uint8_t>> fifo_;  // OUT transfers not yet sent back
  size_t fifoHead_ = 0;                    // bytes of fifo_.front() already sent
  size_t fifoBytes_ = 0;
  std::vector<uint8_t> register_;
};
