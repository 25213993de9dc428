#include "maint/image_header.h"

#include <libintl.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

constexpr size_t kMaxText = 127;

template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char buffer[kMaxText + 1];
  std::snprintf(buffer, sizeof buffer, pattern, args...);
  return buffer;
}

bool contains(uint32_t image, uint32_t product) { return (image & product) == product; }

}  // namespace

uint32_t imageCrc(uint32_t crc, const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t ImageHeader::word(size_t offset) const {
  const uint8_t* p = bytes_.data() + offset;
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool ImageHeader::isValid() const { return std::memcmp(bytes_.data(), "LBRW", 4) == 0; }

int ImageHeader::checkCompatibility(const ProductInfo& product, const FirmwareInfo& firmware,
                                    std::string& text) const {
  if (!isValid()) {
    text = "incompatible";
    return kIncompatible;
  }
  const uint32_t compatId = word(kCompatId);
  const uint32_t compatLevel = word(kCompatLevel);
  switch (type()) {
    case kTypeFirmware:
      if (!contains(compatId, product.compat_id)) {
        std::fprintf(stderr, "invalid compat_id:%08x (product:%08x)\n", compatId, product.compat_id);
        text = "incompatible firmware id";
        return kIncompatible;
      }
      if (compatLevel < firmware.compat_level) {
        std::fprintf(stderr, "invalid compat_level:%d (firmware:%d)\n", static_cast<int>(compatLevel),
                     static_cast<int>(firmware.compat_level));
        text = "incompatible firmware level";
        return kIncompatible;
      }
      text = format("firmware %x.%d", compatId, static_cast<int>(compatLevel));
      return kCompatible;
    case kTypeSoftware:
      if (!contains(compatId, product.compat_id)) {
        text = "incompatible software/product id";
        return kIncompatible;
      }
      if (word(kSoftwareId) != product.software_id) {
        text = "incompatible software id";
        return kIncompatible;
      }
      text = format(gettext("Software: %x.%d Version: %d.%d.%d"), compatId,
                    static_cast<int>(word(kSoftwareId)), static_cast<int>(word(kVersionMajor)),
                    static_cast<int>(word(kVersionMinor)), static_cast<int>(word(kVersionBuild)));
      return kCompatible;
    case kTypeSerialBoard:
      text = "serboard";
      return kCompatible;
    case kTypeFpga:
      text = "fpga image info not supported";
      return kCompatible;
    default:
      text = format("incompatible type:%d", static_cast<int32_t>(type()));
      return kIncompatible;
  }
}
