#pragma once
// What a plug request may change about a simulated device.
#include <cstdint>
#include <optional>
#include <string>

struct SimModelOptions {
  std::optional<uint16_t> vendor;   // replaces the model's own ids
  std::optional<uint16_t> product;
  bool highSpeed = true;            // 512-byte bulk packets and USB 2.00; else full speed
  bool strings = true;              // manufacturer, product and serial strings
  bool string0xEE = false;          // answers GET_DESCRIPTOR(string 0xEE)
  std::string diskPath;             // storage: file-backed disk (empty: RAM)
  uint64_t diskBytes = 64ull << 20; // storage: size of a RAM or new file disk
  std::string secret = "simkey";    // key: the secret mixed into challenge answers
};
