#include "sim/usb/sim_loopback_key.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kStallingString = 4;

SimAltSetting vendorInterface(uint8_t alternate, bool withEndpoints, uint16_t packet) {
  SimAltSetting alt;
  alt.alternate = alternate;
  alt.interfaceClass = 0xFF;
  alt.stringIndex = kStallingString;
  if (withEndpoints) {
    alt.endpoints = {{SimLoopbackKey::kBulkOut, 2, packet, 0}, {SimLoopbackKey::kBulkIn, 2, packet, 0}};
  }
  return alt;
}

SimDeviceDescription keyDescription(const SimModelOptions& options) {
  SimDeviceDescription d;
  d.bcdUsb = options.highSpeed ? 0x0200 : 0x0110;
  d.vendor = options.vendor.value_or(0x1D50);
  d.product = options.product.value_or(0x6001);
  d.bcdDevice = 0x0203;
  if (options.strings) {
    d.manufacturerIndex = 1;
    d.productIndex = 2;
    d.serialIndex = 3;
    d.strings = {{1, "SimKey"}, {2, "Sim Loopback Key"}, {3, "KEY00000001"}};
  }
  d.stallingStrings = {kStallingString};
  if (options.string0xEE) d.strings[0xEE] = "MSFT100";
  const uint16_t packet = options.highSpeed ? 512 : 64;
  SimConfiguration first;
  first.value = 1;
  first.alternates = {vendorInterface(0, true, packet)};
  SimConfiguration second;
  second.value = 2;
  second.maxPower = 50;
  second.alternates = {vendorInterface(0, false, packet), vendorInterface(1, true, packet)};
  d.configurations = {first, second};
  return d;
}

}  // namespace

SimLoopbackKey::SimLoopbackKey(const SimModelOptions& options)
    : description_(keyDescription(options)), secret_(options.secret.empty() ? "simkey" : options.secret) {}

int SimLoopbackKey::control(const SimSetup& setup, std::span<uint8_t> data) {
  if (setup.requestType == 0xC0 && setup.request == 1) {
    // The challenge answer: every byte of the secret, repeated, mixed with
    // the low bytes of wValue and wIndex and the byte's position.
    for (size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<uint8_t>(secret_[i % secret_.size()] ^ (setup.value & 0xFF) ^ (setup.index & 0xFF) ^ i);
    }
    return static_cast<int>(data.size());
  }
  if (setup.requestType == 0x40 && setup.request == 1) {
    if (data.size() > kRegisterSize) return -EPIPE;
    register_.assign(data.begin(), data.end());
    return 0;
  }
  if (setup.requestType == 0xC0 && setup.request == 2) {
    const size_t n = std::min(data.size(), register_.size());
    std::memcpy(data.data(), register_.data(), n);
    return static_cast<int>(n);
  }
  return -EPIPE;
}

int SimLoopbackKey::receive(uint8_t endpoint, std::span<const uint8_t> data) {
  if (endpoint != kBulkOut) return -EPIPE;
  if (data.empty()) return 0;
  if (fifoBytes_ + data.size() > kFifoLimit && fifoBytes_ > 0) return -EAGAIN;
  fifo_.emplace_back(data.begin(), data.end());
  fifoBytes_ += data.size();
  return 0;
}

int SimLoopbackKey::send(uint8_t endpoint, std::span<uint8_t> buffer) {
  if (endpoint != kBulkIn) return -EPIPE;
  if (fifoBytes_ == 0) return -EAGAIN;
  size_t n = 0;
  while (n < buffer.size() && !fifo_.empty()) {
    const std::vector<uint8_t>& chunk = fifo_.front();
    const size_t take = std::min(buffer.size() - n, chunk.size() - fifoHead_);
    std::memcpy(buffer.data() + n, chunk.data() + fifoHead_, take);
    n += take;
    fifoHead_ += take;
    if (fifoHead_ == chunk.size()) {
      fifo_.pop_front();
      fifoHead_ = 0;
    }
  }
  fifoBytes_ -= n;
  return static_cast<int>(n);
}

void SimLoopbackKey::busReset() {
  fifo_.clear();
  fifoHead_ = 0;
  fifoBytes_ = 0;
}
