#include "core/inet_addr.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>

#include "core/task_pause.h"

namespace {

// gethostbyname2 and gethostbyname are not reentrant: every lookup of the
// process runs under this mutex, which is never held while waiting.
std::mutex resolverMutex;

constexpr const char kErrorText[] = "-error-";

}  // namespace

void InetAddr::setAny(bool ipv6) {
  sa_ = sockaddr_in6{};
  sa_.sin6_family = ipv6 ? AF_INET6 : AF_INET;
}

void InetAddr::setIpv4Word(std::uint32_t networkWord) {
  sa_.sin6_family = AF_INET;
  sa_.sin6_flowinfo = networkWord;
}

void InetAddr::setIpv4Octets(int a, int b, int c, int d) {
  setIpv4Word(wordOf(static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                     static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)));
}

void InetAddr::parse(const char* text) {
  sa_ = sockaddr_in6{};
  const bool ipv6 = text != nullptr && std::strchr(text, ':') != nullptr;
  sa_.sin6_family = ipv6 ? AF_INET6 : AF_INET;
  if (text == nullptr) return;
  void* target = ipv6 ? static_cast<void*>(&sa_.sin6_addr) : static_cast<void*>(&sa_.sin6_flowinfo);
  if (inet_pton(sa_.sin6_family, text, target) != 1) {
    // inet_pton may leave part of a result behind; a non-numeric text is zero
    std::memset(target, 0, ipv6 ? sizeof(in6_addr) : sizeof(in_addr));
  }
}

int InetAddr::resolve(const char* host, const ResolverSettings& settings) {
  if (host == nullptr || host[0] == '\0') return 0;
  InetAddr numeric;
  numeric.parse(host);
  if (numeric.isValidHost()) {
    assign(numeric);
    return 1;
  }
  if (!settings.dns) return 0;

  std::unique_lock<std::mutex> lock(resolverMutex, std::try_to_lock);
  while (!lock.owns_lock()) {
    pauseServingMessages(50, std::chrono::milliseconds(5));
    lock.try_lock();
  }
  hostent* entry = gethostbyname2(host, settings.ipv6 ? AF_INET6 : AF_INET);
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    entry = gethostbyname(host);
  }
  const bool found =
      entry != nullptr && entry->h_addr_list != nullptr && entry->h_addr_list[0] != nullptr;
  if (!found) {
    // Everything after the family: a stale IPv6 tail must not keep the value "set".
    std::memset(bytes() + sizeof(sa_family_t), 0, sizeof(sa_) - sizeof(sa_family_t));
    return 0;
  }
  if (entry->h_addrtype == AF_INET6 && entry->h_length == sizeof(in6_addr)) {
    std::memcpy(&sa_.sin6_addr, entry->h_addr_list[0], sizeof(in6_addr));
    sa_.sin6_flowinfo = 0;  // may still hold a former IPv4 address
    sa_.sin6_family = AF_INET6;
    return 1;
  }
  if (entry->h_addrtype == AF_INET && entry->h_length == sizeof(in_addr)) {
    std::memcpy(&sa_.sin6_flowinfo, entry->h_addr_list[0], sizeof(in_addr));
    // the bytes behind a sockaddr_in may still hold a former IPv6 address
    constexpr std::size_t kUsed = offsetof(sockaddr_in, sin_zero);
    std::memset(bytes() + kUsed, 0, sizeof(sa_) - kUsed);
    sa_.sin6_family = AF_INET;
    return 1;
  }
  std::memset(bytes() + sizeof(sa_family_t), 0, sizeof(sa_) - sizeof(sa_family_t));
  return 0;
}

void InetAddr::assign(const InetAddr& other) {
  const std::size_t count = other.isIpv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  std::memcpy(bytes(), other.bytes(), count);
}

bool InetAddr::isLinkLocal() const {
  return sa_.sin6_family == AF_INET && ipv4Octets()[0] == 169 && ipv4Octets()[1] == 254;
}

bool InetAddr::isValidHost() const {
  if (sa_.sin6_family != AF_INET) return true;
  const unsigned last = ipv4Octets()[3];
  return last >= 1 && last <= 254 && sa_.sin6_flowinfo != wordOf(1, 0, 0, 124);
}

bool InetAddr::hasEvenLastOctet() const {
  return sa_.sin6_family == AF_INET && (ipv4Octets()[3] & 1) == 0;
}

bool InetAddr::equals(const InetAddr& other) const {
  if (sa_.sin6_family != other.sa_.sin6_family) return false;
  if (isIpv6()) return std::memcmp(&sa_.sin6_addr, &other.sa_.sin6_addr, sizeof(in6_addr)) == 0;
  return sa_.sin6_flowinfo == other.sa_.sin6_flowinfo;
}

bool InetAddr::isSet() const {
  if (!isIpv6()) return sa_.sin6_flowinfo != 0;
  static constexpr in6_addr kZero{};
  return std::memcmp(&sa_.sin6_addr, &kZero, sizeof(in6_addr)) != 0;
}

std::uint32_t InetAddr::ipv4Word() const {
  if (!isIpv6()) return sa_.sin6_flowinfo;
  static constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(&sa_.sin6_addr, kMappedPrefix, sizeof kMappedPrefix) != 0) return 0;
  std::uint32_t word;
  std::memcpy(&word, reinterpret_cast<const unsigned char*>(&sa_.sin6_addr) + 12, sizeof word);
  return word;
}

int InetAddr::toText(char* buffer) const {
  const char* converted = nullptr;
  if (sa_.sin6_family == AF_INET) {
    converted = inet_ntop(AF_INET, &sa_.sin6_flowinfo, buffer, kTextSize);
  } else if (sa_.sin6_family == AF_INET6) {
    converted = inet_ntop(AF_INET6, &sa_.sin6_addr, buffer, kTextSize);
  }
  if (converted == nullptr) std::memcpy(buffer, kErrorText, sizeof kErrorText);
  return static_cast<int>(std::strlen(buffer));
}

const char* InetAddr::text() const {
  thread_local char ring[16][kTextSize];
  thread_local unsigned next = 0;
  next = (next + 1) % 16;
  toText(ring[next]);
  return ring[next];
}

void InetAddr::print(std::FILE* stream) const { std::fprintf(stream, "%s", text()); }

std::uint16_t InetAddr::port() const { return ntohs(sa_.sin6_port); }

void InetAddr::setPort(std::uint16_t hostOrderPort) { sa_.sin6_port = htons(hostOrderPort); }

void InetAddr::setIpv6Address(const in6_addr& address) { sa_.sin6_addr = address; }
