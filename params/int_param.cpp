#include "params/int_param.h"

#include <cctype>
#include <climits>

#include "params/param_table.h"

namespace {

bool isAsciiAlnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

int32_t saturate(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// The number formed by an optional sign and the leading digits, saturating
// instead of wrapping so that "4294967376" can never pass as 80.
int64_t parseLeading(std::string_view text, bool allowBlanks) {
  size_t i = 0;
  if (allowBlanks) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\f' || text[i] == '\v'))
      ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || (allowBlanks && text[i] == '+'))) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (magnitude < (int64_t{1} << 40)) magnitude = magnitude * 10 + (text[i] - '0');
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace

IntParam::IntParam(std::string name, int32_t value, uint32_t flags)
    : Param(std::move(name), flags), value_(value), hasLimits_(false), minimum_(0), maximum_(0) {}

IntParam::IntParam(std::string name, int32_t value, int32_t minimum, int32_t maximum,
                   uint32_t flags)
    : Param(std::move(name), flags),
      value_(value),
      hasLimits_(true),
      minimum_(minimum),
      maximum_(maximum) {}

int32_t IntParam::leadingNumber(std::string_view text) {
  return saturate(parseLeading(text, true));
}

bool IntParam::setValue(int32_t v) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (value() == v) return false;
  storeLocked(v);
  setModifiedLocked(true);
  return true;
}

bool IntParam::setChecked(int32_t v) {
  if (hasLimits_ && (v < minimum_ || v > maximum_)) return false;
  setValue(v);
  return true;
}

bool IntParam::validate(std::string_view text) const {
  if (!hasLimits_) return true;
  size_t i = (!text.empty() && text[0] == '-') ? 1 : 0;
  for (size_t k = i; k < text.size(); ++k) {
    if (!isAsciiAlnum(text[k])) return false;
  }
  const int64_t n = parseLeading(text, false);
  return n >= minimum_ && n <= maximum_;
}

bool IntParam::setFromText(std::string_view text) {
  if (text.size() > 30) return false;
  setValue(leadingNumber(text));
  return true;
}

std::string IntParam::toText() const { return std::to_string(value()); }

std::string IntParam::storedText() const { return std::to_string(value()); }

bool IntParam::getBySnmp(SnmpValue& out) const {
  if (hasFlags(HiddenOrInternal)) return false;
  out = SnmpValue::ofInteger(value());
  return true;
}

int IntParam::setBySnmp(int phase, const SnmpValue& v, ParamTable& table) {
  switch (phase) {
    case SnmpReserve1:
      if (hasFlags(HiddenOrInternal)) return SnmpNoSuchName;
      if (v.type != SnmpInteger && v.type != SnmpUnsigned32) return SnmpWrongType;
      if (v.integer < INT32_MIN || v.integer > INT32_MAX) return SnmpWrongLength;
      if (hasLimits_ && (v.integer < minimum_ || v.integer > maximum_)) return SnmpWrongValue;
      return SnmpNoError;
    case SnmpAction: {
      std::lock_guard<std::mutex> guard(mutex_);
      undo_ = value();
      beginUndoLocked();
      if (value() != v.integer) {
        storeLocked(static_cast<int32_t>(v.integer));
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
      if (endUndoLocked()) storeLocked(undo_);
      return SnmpNoError;
    }
    default:
      return SnmpNoError;
  }
}
