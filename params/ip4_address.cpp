#include "params/ip4_address.h"

#include <arpa/inet.h>

#include <cstring>

#include "params/p3_list.h"
#include "params/param_table.h"

namespace {

InetAddr ipv4FromText(const char* text) {
  InetAddr a = kIpv4AnyAddress;
  in_addr word{};
  if (text && ::inet_pton(AF_INET, text, &word) == 1) a.setIpv4Word(word.s_addr);
  return a;
}

}  // namespace

Ip4Address::Ip4Address(std::string name, const InetAddr& defaultAddress, uint32_t flags)
    : Param(std::move(name), flags) {
  address_.assign(defaultAddress);
}

Ip4Address::Ip4Address(std::string name, const char* defaultText, uint32_t flags)
    : Ip4Address(std::move(name), ipv4FromText(defaultText), flags) {}

bool Ip4Address::parseText(std::string_view text, InetAddr& out) const {
  char buffer[INET_ADDRSTRLEN];
  // A NUL inside would hide what follows it from the conversion.
  if (text.size() >= sizeof buffer || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  in_addr word{};
  if (::inet_pton(AF_INET, buffer, &word) != 1) return false;
  out = kIpv4AnyAddress;
  out.setIpv4Word(word.s_addr);
  return true;
}

InetAddr Ip4Address::address() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return address_;
}

bool Ip4Address::setAddress(const InetAddr& address) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (address_.equals(address)) return false;
  address_ = InetAddr();
  address_.assign(address);
  setModifiedLocked(true);
  return true;
}

bool Ip4Address::isLinkLocal() const { return address().isLinkLocal(); }

bool Ip4Address::validate(std::string_view text) const {
  InetAddr scratch;
  return parseText(text, scratch);
}

std::string Ip4Address::toText() const {
  char text[InetAddr::kTextSize];
  const int length = address().toText(text);
  return std::string(text, static_cast<size_t>(length));
}

bool Ip4Address::setFromText(std::string_view text) {
  InetAddr parsed;
  if (!parseText(text, parsed)) return false;
  return setAddress(parsed);
}

bool Ip4Address::isSet() const { return address().isSet(); }

bool Ip4Address::getBySnmp(SnmpValue& out) const {
  if (hasFlags(HiddenOrInternal)) return false;
  const InetAddr a = address();
  if (a.isIpv6()) {
    const in6_addr& v6 = a.ipv6Address();
    out = SnmpValue::ofOctets(std::string(reinterpret_cast<const char*>(v6.s6_addr), 16));
  } else {
    const uint32_t word = a.ipv4Word();
    out = SnmpValue::ofOctets(std::string(reinterpret_cast<const char*>(&word), 4), SnmpIpAddress);
  }
  return true;
}

int Ip4Address::actBySnmp(const InetAddr& wanted) {
  std::lock_guard<std::mutex> guard(mutex_);
  undo_ = address_;
  beginUndoLocked();
  if (!address_.equals(wanted)) {
    address_ = InetAddr();
    address_.assign(wanted);
    setModifiedLocked(true);
  }
  return SnmpNoError;
}

int Ip4Address::commitBySnmp(ParamTable& table) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    dropUndoLocked();
  }
  if (name() == "ip_addr") {
    if (auto* setBy = table.findAs<P3List>("ip_setby")) setBy->setFromText("snmp");
  }
  table.applyAndSave();
  return SnmpNoError;
}

int Ip4Address::undoBySnmp() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (endUndoLocked()) address_ = undo_;
  return SnmpNoError;
}

int Ip4Address::setBySnmp(int phase, const SnmpValue& v, ParamTable& table) {
  switch (phase) {
    case SnmpReserve1:
      if (hasFlags(HiddenOrInternal)) return SnmpNoSuchName;
      if (v.type != SnmpIpAddress) return SnmpWrongType;
      if (v.octets.size() != 4) return SnmpWrongLength;
      return SnmpNoError;
    case SnmpAction: {
      if (v.octets.size() != 4) return SnmpWrongLength;
      uint32_t word;
      std::memcpy(&word, v.octets.data(), 4);
      InetAddr wanted = kIpv4AnyAddress;
      wanted.setIpv4Word(word);
      return actBySnmp(wanted);
    }
    case SnmpCommit:
      return commitBySnmp(table);
    case SnmpFree: {
      std::lock_guard<std::mutex> guard(mutex_);
      dropUndoLocked();
      return SnmpNoError;
    }
    case SnmpUndo:
      return undoBySnmp();
    default:
      return SnmpNoError;
  }
}
