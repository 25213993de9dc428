#include "params/string_param.h"

#include "core/util_password.h"
#include "params/param_table.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// What a stored hash of a password of this length measures: the salt and
// 11 characters per 8-character chunk.
int64_t hashedLength(size_t length) {
  return length == 0 ? 0 : static_cast<int64_t>((length - 1) / 8 + 1) * 11 + 2;
}

// The placeholder some pages send for "unchanged" in a hashed field.
constexpr std::string_view kHashedUnchanged = "Wj8ZrT1mYcKpE";

}  // namespace

bool isDisplayCode(std::string_view text) {
  if (text.size() != 2) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return !(text[0] == 'E' && text[1] >= '0' && text[1] <= '9');
}

StringParam::StringParam(std::string name, std::string_view defaultText, int32_t minLength,
                         int32_t maxLength, uint32_t flags, TextRule rule)
    : Param(std::move(name), flags),
      text_(defaultText),
      minLength_(minLength),
      maxLength_(maxLength),
      rule_(rule) {}

bool StringParam::hasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

bool StringParam::passesRule(std::string_view text) const {
  const int64_t length =
      hasFlags(Hashed) ? hashedLength(text.size()) : static_cast<int64_t>(text.size());
  if (length < minLength_ || length > maxLength_) return false;
  return rule_ == nullptr || rule_(text);
}

bool StringParam::validate(std::string_view text) const {
  if (hasControlCharacter(text)) return false;
  // The parameter file trims blanks around a value; a value that began or
  // ended with one would come back changed after a restart.
  if (!text.empty() && (isBlank(text.front()) || isBlank(text.back()))) return false;
  if (text.empty() && isMaskedKind()) return true;
  return passesRule(text);
}

bool StringParam::setFromText(std::string_view text) {
  if (isMaskedKind() && text == kMask) return true;
  if (hasControlCharacter(text)) return false;
  if (hasFlags(Hashed)) return setPassword(std::string(text));
  std::lock_guard<std::mutex> guard(mutex_);
  if (text_ != text) {
    text_.assign(text);
    setModifiedLocked(true);
  }
  return true;
}

bool StringParam::setPassword(const std::string& password) {
  if (password == kHashedUnchanged) return true;
  std::lock_guard<std::mutex> guard(mutex_);
  if (checkPassword(password.c_str(), static_cast<int>(password.size()), text_.c_str())) return true;
  // A password the hash cannot take (longer than 32 characters) leaves no
  // text, as a failed allocation would; the parameter then reads as unset.
  const std::unique_ptr<char[]> hash =
      newPasswordHash(password.c_str(), static_cast<int>(password.size()));
  text_ = hash ? hash.get() : "";
  setModifiedLocked(true);
  return true;
}

std::string StringParam::text() const {
  std::string copy;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    copy = text_;
  }
  if (hasFlags(Translated) && !copy.empty()) return translate(copy.c_str());
  return copy;
}

std::string StringParam::toText() const {
  std::string copy;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    copy = text_;
  }
  if (copy.empty()) return copy;
  if (isMaskedKind()) return std::string(kMask);
  if (hasFlags(Translated)) return translate(copy.c_str());
  return copy;
}

std::string StringParam::storedText() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return text_;
}

bool StringParam::isSet() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return !text_.empty();
}

bool StringParam::getBySnmp(SnmpValue& out) const {
  if (hasFlags(HiddenOrInternal)) return false;
  std::string copy = storedText();
  if (!copy.empty() && isMaskedKind()) copy = kMask;
  out = SnmpValue::ofOctets(std::move(copy));
  return true;
}

int StringParam::setBySnmp(int phase, const SnmpValue& v, ParamTable& table) {
  switch (phase) {
    case SnmpReserve1: {
      if (hasFlags(HiddenOrInternal)) return SnmpNoSuchName;
      if (v.type != SnmpOctetString) return SnmpWrongType;
      const std::string_view text = v.octets;
      const int64_t length =
          hasFlags(Hashed) ? hashedLength(text.size()) : static_cast<int64_t>(text.size());
      if (length < minLength_ || length > maxLength_) return SnmpWrongLength;
      if (rule_ && !rule_(text)) return SnmpWrongValue;
      if (hasControlCharacter(text)) return SnmpWrongValue;
      if (!text.empty() && (isBlank(text.front()) || isBlank(text.back()))) return SnmpWrongValue;
      return SnmpNoError;
    }
    case SnmpAction: {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        undo_ = text_;
        beginUndoLocked();
      }
      return setFromText(v.octets) ? SnmpNoError : SnmpWrongValue;
    }
    case SnmpCommit:
      table.applyAndSave();
      [[fallthrough]];
    case SnmpFree: {
      std::lock_guard<std::mutex> guard(mutex_);
      undo_.clear();
      dropUndoLocked();
      return SnmpNoError;
    }
    case SnmpUndo: {
      std::lock_guard<std::mutex> guard(mutex_);
      if (endUndoLocked()) {
        text_ = std::move(undo_);
        undo_.clear();
      }
      return SnmpNoError;
    }
    default:
      return SnmpNoError;
  }
}
