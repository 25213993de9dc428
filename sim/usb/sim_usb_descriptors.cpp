#include "sim/usb/sim_usb_descriptors.h"

namespace {

void putLe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

std::set<uint8_t> SimConfiguration::interfaceNumbers() const {
  std::set<uint8_t> numbers;
  for (const SimAltSetting& alt : alternates) numbers.insert(alt.number);
  return numbers;
}

const SimAltSetting* SimConfiguration::find(uint8_t interface, uint8_t alternate) const {
  for (const SimAltSetting& alt : alternates) {
    if (alt.number == interface && alt.alternate == alternate) return &alt;
  }
  return nullptr;
}

std::vector<uint8_t> SimDeviceDescription::deviceDescriptor() const {
  std::vector<uint8_t> d = {18, 1};
  putLe16(d, bcdUsb);
  d.push_back(deviceClass);
  d.push_back(deviceSubClass);
  d.push_back(deviceProtocol);
  d.push_back(maxPacket0);
  putLe16(d, vendor);
  putLe16(d, product);
  putLe16(d, bcdDevice);
  d.push_back(manufacturerIndex);
  d.push_back(productIndex);
  d.push_back(serialIndex);
  d.push_back(static_cast<uint8_t>(configurations.size()));
  return d;
}

std::vector<uint8_t> SimDeviceDescription::configurationDescriptor(size_t index) const {
  if (index >= configurations.size()) return {};
  const SimConfiguration& c = configurations[index];
  std::vector<uint8_t> body;
  for (const SimAltSetting& alt : c.alternates) {
    body.insert(body.end(), {9, 4, alt.number, alt.alternate, static_cast<uint8_t>(alt.endpoints.size()),
                             alt.interfaceClass, alt.interfaceSubClass, alt.interfaceProtocol, alt.stringIndex});
    body.insert(body.end(), alt.classDescriptors.begin(), alt.classDescriptors.end());
    for (const SimEndpoint& ep : alt.endpoints) {
      body.insert(body.end(), {7, 5, ep.address, ep.attributes});
      putLe16(body, ep.maxPacket);
      body.push_back(ep.interval);
    }
  }
  std::vector<uint8_t> d = {9, 2};
  putLe16(d, static_cast<uint16_t>(9 + body.size()));
  d.push_back(static_cast<uint8_t>(c.interfaceNumbers().size()));
  d.push_back(c.value);
  d.push_back(c.stringIndex);
  d.push_back(c.attributes);
  d.push_back(c.maxPower);
  d.insert(d.end(), body.begin(), body.end());
  return d;
}

std::vector<uint8_t> SimDeviceDescription::nodeFile() const {
  std::vector<uint8_t> file = deviceDescriptor();
  for (size_t i = 0; i < configurations.size(); ++i) {
    std::vector<uint8_t> c = configurationDescriptor(i);
    file.insert(file.end(), c.begin(), c.end());
  }
  return file;
}

std::vector<uint8_t> SimDeviceDescription::stringDescriptor(uint8_t index) const {
  if (index == 0) {
    std::vector<uint8_t> d = {4, 3};
    putLe16(d, language);
    return d;
  }
  auto it = strings.find(index);
  if (it == strings.end()) return {};
  // ASCII texts only; a descriptor holds at most 126 characters.
  const size_t count = std::min<size_t>(it->second.size(), 126);
  std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * count), 3};
  for (size_t i = 0; i < count; ++i) putLe16(d, static_cast<uint8_t>(it->second[i]));
  return d;
}

const SimConfiguration* SimDeviceDescription::configurationByValue(uint8_t value) const {
  for (const SimConfiguration& c : configurations) {
    if (c.value == value) return &c;
  }
  return nullptr;
}
