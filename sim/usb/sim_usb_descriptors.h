#pragma once
// The descriptor set of a simulated device, kept as structures so the
// simulated usbfs can validate endpoints, interfaces and alternate settings,
// and turned into the exact bytes a device returns for GET_DESCRIPTOR.
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

struct SimEndpoint {
  uint8_t address = 0;     // bit 7 set: IN
  uint8_t attributes = 0;  // transfer type in bits 0-1 (2 bulk, 3 interrupt)
  uint16_t maxPacket = 0;
  uint8_t interval = 0;
};

struct SimAltSetting {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t interfaceSubClass = 0;
  uint8_t interfaceProtocol = 0;
  uint8_t stringIndex = 0;
  std::vector<uint8_t> classDescriptors;  // placed between interface and endpoints (HID)
  std::vector<SimEndpoint> endpoints;
};

struct SimConfiguration {
  uint8_t value = 1;
  uint8_t stringIndex = 0;
  uint8_t attributes = 0x80;
  uint8_t maxPower = 250;  // in 2 mA units
  std::vector<SimAltSetting> alternates;  // every alternate setting of every interface

  // The interface numbers of the configuration, each once.
  std::set<uint8_t> interfaceNumbers() const;
  const SimAltSetting* find(uint8_t interface, uint8_t alternate) const;
};

struct SimDeviceDescription {
  uint16_t bcdUsb = 0x0200;
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacket0 = 64;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint16_t bcdDevice = 0x0100;
  uint8_t manufacturerIndex = 0;
  uint8_t productIndex = 0;
  uint8_t serialIndex = 0;
  std::vector<SimConfiguration> configurations;
  std::map<uint8_t, std::string> strings;  // index -> text (string 0 is the language list)
  std::set<uint8_t> stallingStrings;       // GET_DESCRIPTOR(string) of these stalls
  uint16_t language = 0x0409;

  std::vector<uint8_t> deviceDescriptor() const;
  std::vector<uint8_t> configurationDescriptor(size_t index) const;
  // The node file of usbfs: device descriptor, then every configuration.
  std::vector<uint8_t> nodeFile() const;
  // The string descriptor of `index` (0: the language list); empty when the
  // device has no such string.
  std::vector<uint8_t> stringDescriptor(uint8_t index) const;
  const SimConfiguration* configurationByValue(uint8_t value) const;
};
