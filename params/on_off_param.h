#pragma once
// A switch: an IntParam holding 0 (off) or 1 (on), written as "on"/"off".
#include "params/int_param.h"

class OnOffParam : public IntParam {
 public:
  OnOffParam(std::string name, bool on, uint32_t flags);

  // "yes" when on, "no" when off.
  const char* yesNo() const { return isOn() ? "yes" : "no"; }

  // "on" or "off" in any letter case.
  bool validate(std::string_view text) const override;
  std::string toText() const override;
  std::string storedText() const override;
  // Exactly "on" or "off" in lower case. A change flips the modified mark,
  // so switching back before the change is applied leaves it unmarked.
  bool setFromText(std::string_view text) override;
};
