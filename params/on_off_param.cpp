#include "params/on_off_param.h"

#include <strings.h>

OnOffParam::OnOffParam(std::string name, bool on, uint32_t flags)
    : IntParam(std::move(name), on ? 1 : 0, 0, 1, flags) {}

bool OnOffParam::validate(std::string_view text) const {
  return (text.size() == 2 && strncasecmp(text.data(), "on", 2) == 0) ||
         (text.size() == 3 && strncasecmp(text.data(), "off", 3) == 0);
}

bool OnOffParam::setFromText(std::string_view text) {
  int32_t wanted;
  if (text == "on") {
    wanted = 1;
  } else if (text == "off") {
    wanted = 0;
  } else {
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  if ((value() != 0) != (wanted != 0)) {
    storeLocked(wanted);
    setModifiedLocked(!isModified());
  }
  return true;
}

std::string OnOffParam::toText() const { return isOn() ? "on" : "off"; }

std::string OnOffParam::storedText() const { return isOn() ? "on" : "off"; }
