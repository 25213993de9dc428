#pragma once
// A vendor-class data mover for measuring the transfer path: bulk OUT 0x01
// takes any amount at once and drops it, bulk IN 0x81 always returns full
// buffers of a byte pattern that continues across transfers (byte n of the
// stream is n mod 251), interrupt IN 0x83 answers every poll at once with an
// 8-byte little-endian poll count. Vendor IN request 0xC0/1 returns the
// 16-byte counters (bytes taken on OUT, bytes sent on IN, little-endian), so
// a caller can check that every byte arrived.
#include <cstdint>
#include <vector>

#include "sim/usb/sim_model_options.h"
#include "sim/usb/sim_usb_model.h"

class SimSourceSink final : public SimUsbModel {
 public:
  static constexpr uint8_t kBulkOut = 0x01;
  static constexpr uint8_t kBulkIn = 0x81;
  static constexpr uint8_t kInterruptIn = 0x83;
  static constexpr uint8_t kCountersRequest = 1;
  static constexpr size_t kCountersSize = 16;
  static constexpr size_t kInterruptSize = 8;
  // The pattern's period: a prime, so that it does not line up with the
  // power-of-two sizes of transfers and parts.
  static constexpr size_t kPatternPeriod = 251;

  explicit SimSourceSink(const SimModelOptions& options);

  std::string name() const override { return "sourcesink"; }
  const SimDeviceDescription& description() const override { return description_; }
  int control(const SimSetup& setup, std::span<uint8_t> data) override;
  int receive(uint8_t endpoint, std::span<const uint8_t> data) override;
  int send(uint8_t endpoint, std::span<uint8_t> buffer) override;
  void busReset() override;

  // The pattern byte at stream offset `offset`.
  static uint8_t patternAt(uint64_t offset) { return static_cast<uint8_t>(offset % kPatternPeriod); }

 private:
  SimDeviceDescription description_;
  std::vector<uint8_t> pattern_;  // the period repeated, enough for one copy per period step
  uint64_t bytesTaken_ = 0;
  uint64_t bytesSent_ = 0;
  uint64_t polls_ = 0;
};
