#include "maint/identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "core/paths.h"
#include "maint/image_header.h"

namespace {

// The identity files are read line by line in pieces of at most this many
// characters; a longer line is handled as several lines.
constexpr size_t kMaxLine = 1023;
constexpr size_t kMaxText = 127;

enum class Base { Decimal, Hex };

// Unsigned conversion that stops at the first non-digit (no digits give 0),
// accepts leading blanks and, in hex, a "0x" prefix, and saturates instead of
// wrapping.
uint32_t parseNumber(std::string_view text, Base base) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (base == Base::Hex && i + 1 < text.size() && text[i] == '0' &&
      (text[i + 1] == 'x' || text[i + 1] == 'X') && i + 2 < text.size() &&
      std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
    i += 2;
  }
  const uint64_t radix = base == Base::Hex ? 16 : 10;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const int c = static_cast<unsigned char>(text[i]);
    int digit;
    if (std::isdigit(c)) {
      digit = c - '0';
    } else if (base == Base::Hex && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      break;
    }
    value = value * radix + static_cast<uint64_t>(digit);
    if (value > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<uint32_t>(value);
}

std::string clippedText(std::string_view value) {
  return std::string(value.substr(0, kMaxText));
}

// Hardware address: every third character of the value starts a group of
// two hexadecimal digits; group n sets byte n.
void parseHardwareAddress(std::string_view value, std::array<uint8_t, 8>& address) {
  for (size_t n = 0; n < address.size() && n * 3 < value.size(); ++n) {
    const std::string_view group = value.substr(n * 3, 2);
    if (group.empty() || !std::isxdigit(static_cast<unsigned char>(group[0]))) continue;
    address[n] = static_cast<uint8_t>(parseNumber(group, Base::Hex));
  }
}

void parseDeviceTypes(ProductInfo& info, std::string_view value) {
  info.device_types = clippedText(value);
  info.printer_ports = static_cast<uint32_t>(info.device_types.size());
  for (char letter : value) {
    switch (letter) {
      case 'U': ++info.usb_device_ports; break;
      case 'C': ++info.card_ports; break;
      case 'S': ++info.serial_ports; break;
      case 'E': ++info.ethernet_ports; break;
      default: break;
    }
  }
}

// How a key is recognised: by the start of the line, or anywhere in it.
enum class Match { Prefix, Anywhere };

template <typename Record>
struct KeyRule {
  const char* key;
  Match match;
  void (*store)(Record&, std::string_view value);
};

template <auto Member, Base B>
void storeNumber(ProductInfo& info, std::string_view value) {
  info.*Member = parseNumber(value, B);
}
template <auto Member>
void storeText(ProductInfo& info, std::string_view value) {
  info.*Member = clippedText(value);
}
template <auto Member, Base B>
void storeFirmwareNumber(FirmwareInfo& info, std::string_view value) {
  info.*Member = parseNumber(value, B);
}

constexpr Base Dec = Base::Decimal;
constexpr Base Hex = Base::Hex;

// The first rule that matches a line wins, so the order is part of the format.
const KeyRule<ProductInfo> kProductRules[] = {
    {"product_id", Match::Prefix, storeNumber<&ProductInfo::product_id, Dec>},
    {"compat_id", Match::Prefix, storeNumber<&ProductInfo::compat_id, Hex>},
    {"oem_id", Match::Prefix, storeNumber<&ProductInfo::oem_id, Hex>},
    {"product_name", Match::Prefix, storeText<&ProductInfo::product_name>},
    {"default_name", Match::Prefix, storeText<&ProductInfo::default_name>},
    {"ethaddr0", Match::Anywhere,
     [](ProductInfo& info, std::string_view value) { parseHardwareAddress(value, info.hw_address); }},
    {"network_type", Match::Prefix, storeNumber<&ProductInfo::network_type, Dec>},
    {"phy0_addr", Match::Prefix, storeNumber<&ProductInfo::phy0_addr, Dec>},
    {"software_id", Match::Prefix, storeNumber<&ProductInfo::software_id, Dec>},
    {"printer_ports", Match::Prefix, storeNumber<&ProductInfo::printer_ports, Dec>},
    {"usb_ports_phy", Match::Prefix, storeNumber<&ProductInfo::usb_ports_phy, Dec>},
    {"hw_major", Match::Prefix, storeNumber<&ProductInfo::hw_major, Dec>},
    {"hw_minor", Match::Prefix, storeNumber<&ProductInfo::hw_minor, Dec>},
    {"hw_project", Match::Prefix, storeNumber<&ProductInfo::hw_project, Dec>},
    {"gpio_hw_project", Match::Prefix, storeNumber<&ProductInfo::gpio_hw_project, Dec>},
    {"year", Match::Prefix, storeNumber<&ProductInfo::year, Dec>},
    {"month", Match::Prefix, storeNumber<&ProductInfo::month, Dec>},
    {"serial_no", Match::Prefix, storeNumber<&ProductInfo::serial_no, Dec>},
    {"creation_time", Match::Prefix, storeNumber<&ProductInfo::creation_time, Dec>},
    {"fpga_compat_id", Match::Prefix, storeNumber<&ProductInfo::fpga_compat_id, Dec>},
    {"fpga_compat_level", Match::Prefix, storeNumber<&ProductInfo::fpga_compat_level, Dec>},
    {"usbtable_product_id", Match::Prefix, storeNumber<&ProductInfo::usbtable_product_id, Dec>},
    {"device_types", Match::Anywhere, parseDeviceTypes},
};

const KeyRule<FirmwareInfo> kFirmwareRules[] = {
    {"compat_id", Match::Prefix, storeFirmwareNumber<&FirmwareInfo::compat_id, Hex>},
    {"compat_level", Match::Prefix, storeFirmwareNumber<&FirmwareInfo::compat_level, Dec>},
    {"firmware_version", Match::Prefix, storeFirmwareNumber<&FirmwareInfo::firmware_version, Dec>},
    {"creation_time", Match::Prefix, storeFirmwareNumber<&FirmwareInfo::creation_time, Dec>},
};

template <typename Record, size_t N>
void applyLine(std::string_view line, const KeyRule<Record> (&rules)[N], Record& record) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  std::string_view value = line.substr(equals + 1);
  const size_t newline = value.find('\n');
  if (newline != std::string_view::npos) value = value.substr(0, newline);
  for (const KeyRule<Record>& rule : rules) {
    const bool matches = rule.match == Match::Prefix
                             ? line.substr(0, std::strlen(rule.key)) == rule.key
                             : line.find(rule.key) != std::string_view::npos;
    if (matches) {
      rule.store(record, value);
      return;
    }
  }
}

template <typename Record, size_t N>
void readKeyFile(const char* path, const KeyRule<Record> (&rules)[N], Record& record) {
  std::FILE* file = std::fopen(sysPath(path).c_str(), "re");
  if (file == nullptr) return;
  char piece[kMaxLine + 1];
  while (std::fgets(piece, sizeof piece, file) != nullptr) {
    applyLine(std::string_view(piece), rules, record);
  }
  std::fclose(file);
}

uint32_t bigEndianWord(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

}  // namespace

void readProductParams(ProductInfo& info) {
  info = ProductInfo{};
  readKeyFile("/conf.d/product_params", kProductRules, info);
  // Every port family ends at kMaxUsbPorts; a larger count would reach past
  // the per-port records of the network and USB code.
  if (info.usb_ports_phy > kMaxUsbPorts) info.usb_ports_phy = kMaxUsbPorts;
}

void readFirmwareParams(FirmwareInfo& info) {
  info = FirmwareInfo{};
  readKeyFile("/conf.d/firmware_params", kFirmwareRules, info);
}

void readSoftwareInfo(SoftwareInfo& info) {
  const int fd = ::open(sysPath("/flash/software.bin").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  uint8_t header[ImageHeader::kSize];
  size_t have = 0;
  while (have < sizeof header) {
    const ssize_t n = ::read(fd, header + have, sizeof header - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  ::close(fd);
  if (have != sizeof header) return;
  info.compat_id = bigEndianWord(header + ImageHeader::kCompatId);
  info.compat_level = bigEndianWord(header + ImageHeader::kCompatLevel);
  info.software_id = bigEndianWord(header + ImageHeader::kSoftwareId);
  info.version_major = bigEndianWord(header + ImageHeader::kVersionMajor);
  info.version_minor = bigEndianWord(header + ImageHeader::kVersionMinor);
  info.version_build = bigEndianWord(header + ImageHeader::kVersionBuild);
  info.creation_time = bigEndianWord(header + ImageHeader::kCreationTime);
}

void readDeviceIdentity(DeviceIdentity& identity) {
  readProductParams(identity.product);
  readSoftwareInfo(identity.software);
  readFirmwareParams(identity.firmware);
}
