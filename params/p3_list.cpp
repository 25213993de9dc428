#include "params/p3_list.h"

#include <strings.h>

#include <cstdio>

#include "params/param_table.h"

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

P3List::P3List(std::string name, const char* defaultKeyword, std::span<const Choice> choices,
               uint32_t flags)
    : Param(std::move(name), flags), choices_(choices), index_(kNone) {
  if (defaultKeyword) index_.store(indexOf(defaultKeyword));
}

int32_t P3List::indexOf(std::string_view keyword) const {
  for (size_t i = 0; i < choices_.size(); ++i) {
    if (keyword == choices_[i].keyword) return static_cast<int32_t>(i);
  }
  return kNone;
}

std::string P3List::keyword() const {
  const int32_t i = index();
  return inRange(i) ? std::string(choices_[i].keyword) : std::string();
}

bool P3List::is(std::string_view keyword) const { return equalsNoCase(this->keyword(), keyword); }

bool P3List::isOneOf(std::initializer_list<std::string_view> keywords) const {
  const std::string current = keyword();
  for (std::string_view k : keywords) {
    if (equalsNoCase(current, k)) return true;
  }
  return false;
}

void P3List::selectLocked(int32_t i) {
  // A set never clears a pending mark: a change made earlier and not yet
  // applied must still be saved even when the choice is set again.
  if (index() != i) {
    index_.store(i, std::memory_order_release);
    setModifiedLocked(true);
  }
}

bool P3List::setIndex(int32_t i) {
  if (!inRange(i)) return false;
  std::lock_guard<std::mutex> guard(mutex_);
  selectLocked(i);
  return true;
}

bool P3List::validate(std::string_view text) const { return indexOf(text) != kNone; }

bool P3List::setFromText(std::string_view text) {
  const int32_t i = indexOf(text);
  if (i == kNone) return false;
  std::lock_guard<std::mutex> guard(mutex_);
  selectLocked(i);
  return true;
}

std::string P3List::toText() const { return itemText(kNone); }

std::string P3List::itemText(int32_t selector) const {
  int32_t i = index();
  if (selector >= 0) i = (selector & (kDisplayColumn | kThirdColumn)) ? (selector & 0xFFFF) : selector;
  if (!inRange(i)) {
    std::fprintf(stderr, "ERROR P3List ill base idx:x%08x\n", static_cast<unsigned>(i));
    return std::string();
  }
  const Choice& c = choices_[i];
  if (selector >= 0 && (selector & kThirdColumn)) return c.third ? c.third : "";
  if (selector >= 0 && (selector & kDisplayColumn)) {
    const char* display = c.display ? c.display : c.keyword;
    return hasFlags(Translated) ? translate(display) : std::string(display);
  }
  return c.keyword;
}

bool P3List::getBySnmp(SnmpValue& out) const {
  if (hasFlags(HiddenOrInternal)) return false;
  const int32_t i = index();
  if (!inRange(i)) return false;
  if (hasFlags(SnmpKeyword)) {
    out = SnmpValue::ofOctets(choices_[i].keyword);
  } else {
    out = SnmpValue::ofInteger(i);
  }
  return true;
}

int P3List::setBySnmp(int phase, const SnmpValue& v, ParamTable& table) {
  const bool byKeyword = hasFlags(SnmpKeyword);
  switch (phase) {
    case SnmpReserve1:
      if (hasFlags(HiddenOrInternal)) return SnmpNoSuchName;
      if (byKeyword) {
        if (v.type != SnmpOctetString) return SnmpWrongType;
        return indexOf(v.octets) == kNone ? SnmpWrongValue : SnmpNoError;
      }
      if (v.type != SnmpInteger && v.type != SnmpUnsigned32) return SnmpWrongType;
      if (v.integer < INT32_MIN || v.integer > INT32_MAX) return SnmpWrongLength;
      return inRange(v.integer) ? SnmpNoError : SnmpWrongValue;
    case SnmpAction: {
      const int32_t wanted =
          byKeyword ? indexOf(v.octets) : (inRange(v.integer) ? static_cast<int32_t>(v.integer) : kNone);
      if (wanted == kNone) return SnmpWrongValue;
      std::lock_guard<std::mutex> guard(mutex_);
      undo_ = index();
      beginUndoLocked();
      selectLocked(wanted);
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
      if (endUndoLocked()) index_.store(undo_, std::memory_order_release);
      return SnmpNoError;
    }
    default:
      return SnmpNoError;
  }
}
