#include "sim/usb/sim_hid_keyboard.h"

#include <algorithm>
#include <cstring>

namespace {

// The boot keyboard report descriptor: modifiers, reserved byte, five LEDs
// out, six key codes.
const std::vector<uint8_t> kReportDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

constexpr uint8_t kHidDescriptorType = 0x21;
constexpr uint8_t kReportDescriptorType = 0x22;

std::vector<uint8_t> hidDescriptor() {
  const auto length = static_cast<uint16_t>(kReportDescriptor.size());
  return {9, kHidDescriptorType, 0x11, 0x01, 0, 1, kReportDescriptorType, static_cast<uint8_t>(length),
          static_cast<uint8_t>(length >> 8)};
}

SimDeviceDescription keyboardDescription(const SimModelOptions& options) {
  SimDeviceDescription d;
  d.bcdUsb = 0x0110;
  d.maxPacket0 = 8;
  d.vendor = options.vendor.value_or(0x046D);
  d.product = options.product.value_or(0xC31C);
  if (options.strings) {
    d.manufacturerIndex = 1;
    d.productIndex = 2;
    d.strings = {{1, "SimKeys"}, {2, "Sim Keyboard"}};
  }
  if (options.string0xEE) d.strings[0xEE] = "MSFT100";
  SimConfiguration c;
  c.value = 1;
  c.attributes = 0xA0;  // bus powered, remote wake-up
  c.maxPower = 50;
  SimAltSetting alt;
  alt.interfaceClass = 0x03;
  alt.interfaceSubClass = 0x01;
  alt.interfaceProtocol = 0x01;
  alt.classDescriptors = hidDescriptor();
  alt.endpoints = {{SimHidKeyboard::kInterruptIn, 3, SimHidKeyboard::kReportSize, 10}};
  c.alternates.push_back(alt);
  d.configurations.push_back(c);
  return d;
}

}  // namespace

SimHidKeyboard::SimHidKeyboard(const SimModelOptions& options) : description_(keyboardDescription(options)) {}

int SimHidKeyboard::control(const SimSetup& setup, std::span<uint8_t> data) {
  const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
  if (setup.requestType == 0x81 && setup.request == 6) {  // GET_DESCRIPTOR to the interface
    const std::vector<uint8_t> descriptor =
        type == kReportDescriptorType ? kReportDescriptor : type == kHidDescriptorType ? hidDescriptor()
                                                                                         : std::vector<uint8_t>{};
    if (descriptor.empty()) return -EPIPE;
    const size_t n = std::min(descriptor.size(), data.size());
    std::memcpy(data.data(), descriptor.data(), n);
    return static_cast<int>(n);
  }
  switch (setup.requestType << 8 | setup.request) {
    case 0x2109:  // SET_REPORT: the LED output report
      if (!data.empty()) leds_ = data[0];
      return 0;
    case 0x210A:  // SET_IDLE
      idle_ = static_cast<uint8_t>(setup.value >> 8);
      return 0;
    case 0x210B:  // SET_PROTOCOL
      protocol_ = static_cast<uint8_t>(setup.value & 1);
      return 0;
    case 0xA101: {  // GET_REPORT
      const size_t n = std::min(lastReport_.size(), data.size());
      std::memcpy(data.data(), lastReport_.data(), n);
      return static_cast<int>(n);
    }
    case 0xA102:  // GET_IDLE
      if (data.empty()) return -EPIPE;
      data[0] = idle_;
      return 1;
    case 0xA103:  // GET_PROTOCOL
      if (data.empty()) return -EPIPE;
      data[0] = protocol_;
      return 1;
    default:
      return -EPIPE;
  }
}

int SimHidKeyboard::receive(uint8_t, std::span<const uint8_t>) { return -EPIPE; }

int SimHidKeyboard::send(uint8_t endpoint, std::span<uint8_t> buffer) {
  if (endpoint != kInterruptIn) return -EPIPE;
  if (reports_.empty()) return -EAGAIN;
  const std::vector<uint8_t>& report = reports_.front();
  if (buffer.size() < report.size()) return -EOVERFLOW;
  std::memcpy(buffer.data(), report.data(), report.size());
  const int n = static_cast<int>(report.size());
  lastReport_ = report;
  reports_.pop_front();
  return n;
}

void SimHidKeyboard::busReset() {
  reports_.clear();
  idle_ = 0;
  protocol_ = 1;
  leds_ = 0;
}

int SimHidKeyboard::injectReport(std::span<const uint8_t> report) {
  if (report.empty() || report.size() > kReportSize) return -EINVAL;
  if (reports_.size() >= kMaxQueuedReports) return -ENOBUFS;
  std::vector<uint8_t> padded(report.begin(), report.end());
  padded.resize(kReportSize, 0);
  reports_.push_back(std::move(padded));
  return 0;
}
