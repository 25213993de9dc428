#pragma once
// InetAddr: an IPv4 or IPv6 address with its port, kept in the kernel's
// socket-address layout so that it goes to socket calls without conversion.
//
// The value is always a sockaddr_in6 (28 bytes). An IPv4 value uses the first
// 16 bytes as a sockaddr_in: its address word then lies where sockaddr_in6
// keeps the flow information, and the rest stays zero unless a caller wrote
// it. Family 0 means "unset"; family 17 (AF_PACKET) is used only by
// Connection, which keeps a sockaddr_ll (20 bytes) in the same storage.
#include <netinet/in.h>
#include <sys/socket.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Settings a host-name lookup depends on; the caller reads them from the
// parameters "dns" and "ipv6".
struct ResolverSettings {
  bool dns = false;   // lookups by name are allowed
  bool ipv6 = false;  // ask for IPv6 addresses first
};

class InetAddr {
 public:
  static constexpr int kTextSize = 1025;  // room toText needs, with terminator

  constexpr InetAddr() = default;

  // family 2 with a.b.c.d, port 0, everything else zero
  static constexpr InetAddr ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    InetAddr value;
    value.sa_.sin6_family = AF_INET;
    value.sa_.sin6_flowinfo = wordOf(a, b, c, d);
    return value;
  }

  void setAny(bool ipv6);
  void setIpv4Word(std::uint32_t networkWord);
  void setIpv4Octets(int a, int b, int c, int d);
  // Numeric text to address; a text that is not a number leaves the address zero.
  void parse(const char* text);
  // Numeric text or host name; 1 on success, 0 on failure.
  int resolve(const char* host, const ResolverSettings& settings);
  // Copies the family, then 16 bytes for an IPv4 value or 28 for an IPv6 one.
  void assign(const InetAddr& other);
  void copy(const InetAddr& other) { assign(other); }

  bool isIpv6() const { return sa_.sin6_family == AF_INET6; }
  bool isLinkLocal() const;
  bool isValidHost() const;
  bool hasEvenLastOctet() const;
  bool equals(const InetAddr& other) const;
  bool differs(const InetAddr& other) const { return !equals(other); }
  bool isSet() const;
  // The IPv4 address in network order, also of an IPv4-mapped IPv6 value; else 0.
  std::uint32_t ipv4Word() const;

  // inet_ntop of the address (no port) into a buffer of kTextSize bytes;
  // "-error-" when the value is neither IPv4 nor IPv6. Returns the length.
  int toText(char* buffer) const;
  // toText into the next of 16 rotating buffers of the calling thread; the
  // result stays valid until that thread has made 16 further calls.
  const char* text() const;
  void print(std::FILE* stream) const;

  // Access for socket calls.
  int family() const { return sa_.sin6_family; }
  constexpr void setFamily(int family) { sa_.sin6_family = static_cast<sa_family_t>(family); }
  std::uint16_t port() const;  // host order
  void setPort(std::uint16_t hostOrderPort);
  const in6_addr& ipv6Address() const { return sa_.sin6_addr; }
  void setIpv6Address(const in6_addr& address);
  // 16 for IPv4 and any other family, 28 for IPv6
  socklen_t length() const { return isIpv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }
  sockaddr* sockaddrPtr() { return reinterpret_cast<sockaddr*>(&sa_); }
  const sockaddr* sockaddrPtr() const { return reinterpret_cast<const sockaddr*>(&sa_); }
  unsigned char* bytes() { return reinterpret_cast<unsigned char*>(&sa_); }
  const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(&sa_); }
  static constexpr socklen_t kStorageSize = sizeof(sockaddr_in6);

 private:
  static constexpr std::uint32_t wordOf(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                        std::uint8_t d) {
    // the word as it lies in memory in network order
    if constexpr (std::endian::native == std::endian::little) {
      return std::uint32_t(a) | std::uint32_t(b) << 8 | std::uint32_t(c) << 16 |
             std::uint32_t(d) << 24;
    } else {
      return std::uint32_t(a) << 24 | std::uint32_t(b) << 16 | std::uint32_t(c) << 8 |
             std::uint32_t(d);
    }
  }
  const unsigned char* ipv4Octets() const {
    return reinterpret_cast<const unsigned char*>(&sa_.sin6_flowinfo);
  }

  sockaddr_in6 sa_{};
};

static_assert(sizeof(InetAddr) == 28, "InetAddr must keep the sockaddr_in6 layout");
static_assert(offsetof(sockaddr_in6, sin6_flowinfo) == offsetof(sockaddr_in, sin_addr),
              "the IPv4 address word must overlay the IPv6 flow information");

// The shared constant addresses.
inline constexpr InetAddr kIpv4AnyAddress = InetAddr::ipv4(0, 0, 0, 0);
inline constexpr InetAddr kBroadcastAddress = InetAddr::ipv4(255, 255, 255, 255);
inline constexpr InetAddr kIpv6AnyAddress = [] {
  InetAddr any;
  any.setFamily(AF_INET6);
  return any;
}();
inline constexpr InetAddr kAllHostsGroup = InetAddr::ipv4(224, 0, 0, 1);
inline constexpr InetAddr kSlpGroup = InetAddr::ipv4(224, 0, 1, 22);
inline constexpr InetAddr kMdnsGroup = InetAddr::ipv4(224, 0, 0, 251);
