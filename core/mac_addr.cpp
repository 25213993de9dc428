#include "core/mac_addr.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/unique_fd.h"
#include "core/inet_addr.h"

void MacAddr::fromIpv4Multicast(const InetAddr& group) {
  const std::uint32_t word = group.ipv4Word();
  std::uint8_t octets[4];
  std::memcpy(octets, &word, sizeof octets);
  bytes_ = {0x01, 0x00, 0x5e, static_cast<std::uint8_t>(octets[1] & 0x7f), octets[2], octets[3]};
}

void MacAddr::readInterface(const char* interfaceName) {
  bytes_ = {};
  const UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe.valid()) return;
  ifreq request{};
  std::strncpy(request.ifr_name, interfaceName != nullptr ? interfaceName : "eth0",
               sizeof request.ifr_name - 1);
  if (::ioctl(probe.get(), SIOCGIFHWADDR, &request) != 0) return;
  fromBytes(reinterpret_cast<const std::uint8_t*>(request.ifr_hwaddr.sa_data));
}

int MacAddr::parse(const char* text) {
  if (text == nullptr) return 0;
  unsigned fields[6];
  const int count = std::sscanf(text, "%x:%x:%x:%x:%x:%x", &fields[0], &fields[1], &fields[2],
                                &fields[3], &fields[4], &fields[5]);
  std::array<std::uint8_t, 6> parsed;
  if (count == 6) {
    for (int i = 0; i < 6; ++i) parsed[i] = static_cast<std::uint8_t>(fields[i]);
  } else if (count == 3) {
    for (int i = 0; i < 3; ++i) parsed[i] = kVendorPrefix[i];
    for (int i = 0; i < 3; ++i) parsed[3 + i] = static_cast<std::uint8_t>(fields[i]);
  } else {
    return 0;
  }
  const bool changed = parsed != bytes_;
  bytes_ = parsed;
  return changed ? 1 : 0;
}

int MacAddr::format(char* buffer) const {
  return std::snprintf(buffer, kTextSize, "%02x:%02x:%02x:%02x:%02x:%02x", bytes_[0], bytes_[1],
                       bytes_[2], bytes_[3], bytes_[4], bytes_[5]);
}

const char* MacAddr::textUpper() const {
  thread_local char buffer[kTextSize];
  std::snprintf(buffer, sizeof buffer, "%02X:%02X:%02X:%02X:%02X:%02X", bytes_[0], bytes_[1],
                bytes_[2], bytes_[3], bytes_[4], bytes_[5]);
  return buffer;
}

void MacAddr::print(std::FILE* stream) const {
  char buffer[kTextSize];
  format(buffer);
  std::fputs(buffer, stream);
}
