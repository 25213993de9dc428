#include "sim/usb/sim_source_sink.h"

#include <algorithm>
#include <cstring>

namespace {

// Copies of the pattern are taken in blocks of this size, so the buffer
// holds one block plus one period to start a block at any phase.
constexpr size_t kCopyBlock = 64 * 1024;

SimDeviceDescription sourceSinkDescription(const SimModelOptions& options) {
  SimDeviceDescription d;
  d.bcdUsb = options.highSpeed ? 0x0200 : 0x0110;
  d.vendor = options.vendor.value_or(0x1D50);
  d.product = options.product.value_or(0x6002);
  d.bcdDevice = 0x0100;
  if (options.strings) {
    d.manufacturerIndex = 1;
    d.productIndex = 2;
    d.serialIndex = 3;
    d.strings = {{1, "SimSource"}, {2, "Sim Source Sink"}, {3, "SRC00000001"}};
  }
  const uint16_t packet = options.highSpeed ? 512 : 64;
  SimAltSetting alt;
  alt.interfaceClass = 0xFF;
  alt.endpoints = {{SimSourceSink::kBulkOut, 2, packet, 0},
                   {SimSourceSink::kBulkIn, 2, packet, 0},
                   {SimSourceSink::kInterruptIn, 3, 64, 1}};
  SimConfiguration config;
  config.value = 1;
  config.alternates = {alt};
  d.configurations = {config};
  return d;
}

void putLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

SimSourceSink::SimSourceSink(const SimModelOptions& options)
    : description_(sourceSinkDescription(options)), pattern_(kCopyBlock + kPatternPeriod) {
  for (size_t i = 0; i < pattern_.size(); ++i) pattern_[i] = patternAt(i);
}

int SimSourceSink::control(const SimSetup& setup, std::span<uint8_t> data) {
  if (setup.requestType == 0xC0 && setup.request == kCountersRequest) {
    uint8_t counters[kCountersSize];
    putLe64(counters, bytesTaken_);
    putLe64(counters + 8, bytesSent_);
    const size_t n = std::min(data.size(), sizeof counters);
    std::memcpy(data.data(), counters, n);
    return static_cast<int>(n);
  }
  return -EPIPE;
}

int SimSourceSink::receive(uint8_t endpoint, std::span<const uint8_t> data) {
  if (endpoint != kBulkOut) return -EPIPE;
  bytesTaken_ += data.size();
  return 0;
}

int SimSourceSink::send(uint8_t endpoint, std::span<uint8_t> buffer) {
  if (endpoint == kInterruptIn) {
    uint8_t report[kInterruptSize];
    putLe64(report, ++polls_);
    const size_t n = std::min(buffer.size(), sizeof report);
    std::memcpy(buffer.data(), report, n);
    return static_cast<int>(n);
  }
  if (endpoint != kBulkIn) return -EPIPE;
  size_t done = 0;
  while (done < buffer.size()) {
    const size_t phase = (bytesSent_ + done) % kPatternPeriod;
    const size_t n = std::min(buffer.size() - done, kCopyBlock);
    std::memcpy(buffer.data() + done, pattern_.data() + phase, n);
    done += n;
  }
  bytesSent_ += done;
  return static_cast<int>(done);
}

void SimSourceSink::busReset() {
  bytesTaken_ = 0;
  bytesSent_ = 0;
  polls_ = 0;
}
