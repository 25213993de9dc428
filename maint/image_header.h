#pragma once
// The 128-byte header in front of every update image (firmware, software,
// serial board, FPGA) and of /flash/software.bin. Every word is a 32-bit
// big-endian integer:
//   0 magic "LBRW"   4 type   8 crc   12 length   16 compat_id
//   20 compat_level  24 software id  28 creation time
//   32/36/40 version major/minor/build   44..127 reserved (zero)
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "params/product_info.h"

// The payload CRC: the reflected CRC-32 table (polynomial 0xEDB88320), but
// the register starts at 0 and the result is not inverted. Chain pieces by
// passing the previous result as crc.
uint32_t imageCrc(uint32_t crc, const void* data, size_t length);

class ImageHeader {
 public:
  static constexpr size_t kSize = 128;

  // Offsets of the header words.
  enum Field : size_t {
    kMagic = 0, kType = 4, kCrc = 8, kLength = 12, kCompatId = 16, kCompatLevel = 20,
    kSoftwareId = 24, kCreationTime = 28, kVersionMajor = 32, kVersionMinor = 36,
    kVersionBuild = 40,
  };

  // The type words, as their big-endian values.
  static constexpr uint32_t kTypeFirmware = 0x66770000;  // "fw\0\0"
  static constexpr uint32_t kTypeSoftware = 0x73770000;  // "sw\0\0"
  static constexpr uint32_t kTypeSerialBoard = 0x73657262;  // "serb"
  static constexpr uint32_t kTypeFpga = 0x66706761;  // "fpga"

  // Results of checkCompatibility.
  static constexpr int kCompatible = 0;
  static constexpr int kIncompatible = 255;

  ImageHeader() = default;  // all zero

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }

  // The big-endian word at a field offset.
  uint32_t word(size_t offset) const;

  bool isValid() const;  // the magic is "LBRW"
  uint32_t type() const { return word(kType); }
  uint32_t crc() const { return word(kCrc); }
  uint32_t length() const { return word(kLength); }

  // Checks the image against the product and firmware identity; writes the
  // result text (at most 127 characters) and returns kCompatible or
  // kIncompatible. Refusals of a firmware image are also printed on stderr.
  int checkCompatibility(const ProductInfo& product, const FirmwareInfo& firmware,
                         std::string& text) const;

 private:
  std::array<uint8_t, kSize> bytes_{};
};
