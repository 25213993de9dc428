#include "params/ip6_address.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

namespace {

bool ipv6FromText(std::string_view text, InetAddr& out) {
  char buffer[Ip6Address::kMaxTextLength + 1];
  if (text.size() > Ip6Address::kMaxTextLength || text.find('\0') != std::string_view::npos)
    return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  in6_addr address{};
  if (::inet_pton(AF_INET6, buffer, &address) != 1) return false;
  out = kIpv6AnyAddress;
  out.setIpv6Address(address);
  return true;
}

InetAddr ipv6Default(const char* text) {
  InetAddr a = kIpv6AnyAddress;
  if (!text || !ipv6FromText(text, a)) {
    std::fprintf(stderr, "ERROR: Ip6Address initialization faild with:[%s]!\n", text ? text : "");
    a = kIpv6AnyAddress;
  }
  return a;
}

}  // namespace

Ip6Address::Ip6Address(std::string name, const char* defaultText, uint32_t flags)
    : Ip4Address(std::move(name), ipv6Default(defaultText), flags) {}

bool Ip6Address::parseText(std::string_view text, InetAddr& out) const {
  return ipv6FromText(text, out);
}

bool Ip6Address::validate(std::string_view text) const {
  InetAddr scratch;
  return ipv6FromText(text, scratch);
}

int Ip6Address::setBySnmp(int phase, const SnmpValue& v, ParamTable& table) {
  InetAddr wanted;
  switch (phase) {
    case SnmpReserve1:
      if (hasFlags(HiddenOrInternal)) return SnmpNoSuchName;
      if (v.type != SnmpOctetString) return SnmpWrongType;
      if (v.octets.size() > kMaxTextLength) return SnmpWrongLength;
      return ipv6FromText(v.octets, wanted) ? SnmpNoError : SnmpWrongType;
    case SnmpAction:
      if (!ipv6FromText(v.octets, wanted)) return SnmpWrongValue;
      return actBySnmp(wanted);
    default:
      return Ip4Address::setBySnmp(phase, v, table);
  }
}
