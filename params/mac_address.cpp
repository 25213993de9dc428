#include "params/mac_address.h"

#include <cstring>

#include "params/param_table.h"

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

MacAddress::MacAddress(std::string name, uint32_t flags) : Param(std::move(name), flags) {}

MacAddress::MacAddress(std::string name, const std::array<uint8_t, 6>& defaultBytes, uint32_t flags)
    : Param(std::move(name), flags), address_(defaultBytes) {}

MacAddr MacAddress::address() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return address_;
}

void MacAddress::assign(const MacAddr& address) {
  std::lock_guard<std::mutex> guard(mutex_);
  address_ = address;
}

bool MacAddress::validate(std::string_view text) const {
  int fields = 0;
  size_t i = 0;
  while (true) {
    int value = 0;
    size_t digits = 0;
    for (; i < text.size() && hexDigit(text[i]) >= 0; ++i, ++digits) {
      value = value * 16 + hexDigit(text[i]);
      if (value > 0xff) return false;
    }
    if (digits == 0) return false;
    ++fields;
    if (i == text.size()) return fields == 6;
    if (text[i] != ':' || fields == 6) return false;
    ++i;
  }
}

bool MacAddress::setFromText(std::string_view text) {
  // MacAddr's parser reads a terminated text; longer texts are never valid.
  char buffer[64];
  if (text.size() >= sizeof buffer || text.find('\0') != std::string_view::npos) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  std::lock_guard<std::mutex> guard(mutex_);
  const bool changed = address_.parse(buffer) != 0;
  if (changed) setModifiedLocked(true);
  return changed;
}

std::string MacAddress::toText() const {
  char text[MacAddr::kTextSize];
  const int length = address().format(text);
  return std::string(text, static_cast<size_t>(length));
}

bool MacAddress::isSet() const {
  const MacAddr a = address();
  for (uint8_t b : a.bytes()) {
    if (b != 0) return true;
  }
  return false;
}

bool MacAddress::getBySnmp(SnmpValue& out) const {
  if (hasFlags(HiddenOrInternal)) return false;
  const MacAddr a = address();
  out = SnmpValue::ofOctets(std::string(reinterpret_cast<const char*>(a.data()), 6));
  return true;
}

int MacAddress::setBySnmp(int phase, const SnmpValue& v, ParamTable& table) {
  switch (phase) {
    case SnmpReserve1:
      if (hasFlags(HiddenOrInternal)) return SnmpNoSuchName;
      if (v.type != SnmpOctetString) return SnmpWrongType;
      if (v.octets.size() != 6) return SnmpWrongLength;
      return SnmpNoError;
    case SnmpAction: {
      if (v.octets.size() != 6) return SnmpWrongLength;
      MacAddr wanted;
      wanted.fromBytes(reinterpret_cast<const uint8_t*>(v.octets.data()));
      std::lock_guard<std::mutex> guard(mutex_);
      undo_ = address_;
      beginUndoLocked();
      if (!(address_ == wanted)) {
        address_ = wanted;
        setModifiedLocked(true);
      }
      return SnmpNoError;
    }
    case SnmpCommit:
      table.applyAndSave();
      [[fallthrough]];
    case SnmpFree: {
      std::lock_guard<std::mutex> guard(mutex_);
      dropUndoLocked();
      return SnmpNoError;
    }
    case SnmpUndo: {
      std::lock_guard<std::mutex> guard(mutex_);
      if (endUndoLocked()) address_ = undo_;
      return SnmpNoError;
    }
    default:
      return SnmpNoError;
  }
}
