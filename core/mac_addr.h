#pragma once
// MacAddr: a six-byte Ethernet address in transmission order.
#include <array>
#include <cstdint>
#include <cstdio>

class InetAddr;

class MacAddr {
 public:
  static constexpr int kTextSize = 18;  // "xx:xx:xx:xx:xx:xx" and terminator
  // Completes the three-field short form "aa:bb:cc" of parse: the vendor
  // prefix of the appliance's own network hardware (a locally administered
  // block, so it never collides with a registered maker).
  static constexpr std::array<std::uint8_t, 3> kVendorPrefix = {0x02, 0x55, 0x53};

  constexpr MacAddr() = default;
  constexpr explicit MacAddr(const std::array<std::uint8_t, 6>& bytes) : bytes_(bytes) {}

  void copy(const MacAddr& other) { bytes_ = other.bytes_; }
  void assign(const MacAddr& other) { bytes_ = other.bytes_; }
  void fromBytes(const std::uint8_t* six) { for (int i = 0; i < 6; ++i) bytes_[i] = six[i]; }
  // 01:00:5e followed by the low 23 bits of an IPv4 group
  void fromIpv4Multicast(const InetAddr& group);
  // SIOCGIFHWADDR of the named interface ("eth0" when null); all zero on failure
  void readInterface(const char* interfaceName = nullptr);
  // "%x:%x:%x:%x:%x:%x" or the short form "%x:%x:%x"; 1 when the value changed
  int parse(const char* text);
  // lower case into a buffer of kTextSize bytes; returns the length
  int format(char* buffer) const;
  // upper case into a buffer of the calling thread that the next call overwrites
  const char* textUpper() const;
  void print(std::FILE* stream) const;

  const std::array<std::uint8_t, 6>& bytes() const { return bytes_; }
  const std::uint8_t* data() const { return bytes_.data(); }
  bool operator==(const MacAddr& other) const = default;

 private:
  std::array<std::uint8_t, 6> bytes_{};
};

static_assert(sizeof(MacAddr) == 6, "MacAddr is six bytes, nothing else");
