#pragma once
// An IPv6 address setting; text and SNMP read forms are Ip4Address's.
#include "params/ip4_address.h"

class Ip6Address : public Ip4Address {
 public:
  // The default as IPv6 text ("::"); a text that does not convert is
  // reported on standard error and the unspecified address kept.
  Ip6Address(std::string name, const char* defaultText, uint32_t flags);

  // A numeric IPv6 text.
  bool validate(std::string_view text) const override;
  // The IPv6 address as OCTET STRING text of at most 45 characters.
  int setBySnmp(int phase, const SnmpValue& value, ParamTable& table) override;

  // INET6_ADDRSTRLEN without the terminator.
  static constexpr size_t kMaxTextLength = 45;

 protected:
  bool parseText(std::string_view text, InetAddr& out) const override;
};
