#include "params/param_table.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/param_effects.h"
#include "params/string_param.h"

namespace {

constexpr uint32_t kPortPowerFeature = 0x8000;

bool lessByName(const Param* p, std::string_view name) { return p->name() < name; }

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The member number behind a family prefix: its leading decimal digits.
int memberNumber(std::string_view name, size_t prefixLength) {
  int n = 0;
  for (size_t i = prefixLength; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    n = std::min(n * 10 + (name[i] - '0'), 1000000);
  }
  return n;
}

struct DisplayCode {
  char first;
  char second;
};

}  // namespace

ParamTable::~ParamTable() = default;

void ParamTable::hideSlotsAbove(int count) {
  for (Param* param : items_) {
    if (!param->hasFlags(SlotIndexed)) continue;
    const std::string_view name = param->name();
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') --digits;
    if (memberNumber(name, digits) > count) param->addFlags(Hidden);
  }
}

void ParamTable::insert(std::unique_ptr<Param> param) {
  const std::string& name = param->name();
  auto at = std::lower_bound(items_.begin(), items_.end(), std::string_view(name), lessByName);
  if (at != items_.end() && (*at)->name() == name) {
    std::fprintf(stderr, "ParamTable: duplicate parameter %s\n", name.c_str());
    std::abort();
  }
  items_.insert(at, param.get());
  owned_.push_back(std::move(param));
}

Param* ParamTable::findAny(std::string_view name) const {
  auto at = std::lower_bound(items_.begin(), items_.end(), name, lessByName);
  if (at == items_.end() || (*at)->name() != name) return nullptr;
  return *at;
}

Param* ParamTable::find(std::string_view name, uint32_t index) const {
  if (name.size() > kMaxNameLength || index == 0) return nullptr;
  Param* p;
  if (index == kExact) {
    p = findAny(name);
  } else {
    // Room for the longest prefix and five digits; no allocation per lookup.
    char member[kMaxNameLength + 8];
    const int length = std::snprintf(member, sizeof member, "%.*s%u", static_cast<int>(name.size()),
                                     name.data(), static_cast<unsigned>(index & 0xFFFF));
    p = findAny(std::string_view(member, static_cast<size_t>(length)));
  }
  return (p && !p->isHidden()) ? p : nullptr;
}

int ParamTable::countVisible(uint32_t mask) const {
  const uint32_t excluded = mask | Hidden;
  return static_cast<int>(std::count_if(items_.begin(), items_.end(),
                                        [&](const Param* p) { return !p->hasFlags(excluded); }));
}

Param* ParamTable::nthVisible(int n, uint32_t mask) const {
  if (n < 0 || n >= size()) return nullptr;
  const uint32_t excluded = mask | Hidden;
  for (Param* p : items_) {
    if (p->hasFlags(excluded)) continue;
    if (n-- == 0) return p;
  }
  return nullptr;
}

int ParamTable::highestIndex(std::string_view prefix) const {
  int highest = 0;
  for (const Param* p : items_) {
    if (p->hasFlags(Hidden | Internal)) continue;
    const std::string& name = p->name();
    if (name.size() < prefix.size() || strncasecmp(name.data(), prefix.data(), prefix.size()) != 0)
      continue;
    highest = std::max(highest, memberNumber(name, prefix.size()));
  }
  return highest;
}

int ParamTable::resetModified() {
  int result = 0;
  for (Param* p : items_) {
    if (!p->takeModified()) continue;
    result |= ApplyAnyChange;
    const uint32_t flags = p->flags();
    if (flags & HiddenOrRuntime) continue;
    result |= ApplySave;
    if (flags & Reconfigure) {
      result |= ApplyBroadcast;
    } else if (!(flags & Live)) {
      result |= ApplyRestart;
    }
    if (effects_) applyHardware(*p);
  }
  return result;
}

int ParamTable::applyAndSave() {
  const int result = resetModified();
  if (result & ApplySave) save();
  return result;
}

void ParamTable::applyHardware(const Param& p) {
  static constexpr std::string_view kPortPower = "wyk_poff_";
  if (p.hasFlags(kPortPowerFeature) && startsWith(p.name(), kPortPower)) {
    const int port = memberNumber(p.name(), kPortPower.size());
    if (port >= 1 && port <= usbPortCount_) effects_->setPortPower(port - 1, p.isOff());
  }
  if (startsWith(p.name(), "relay_")) applyRelay(p);
  if (startsWith(p.name(), "disp_") && effects_->hasDisplay()) applyDisplay(p);
}

void ParamTable::applyRelay(const Param& p) {
  auto* mode = dynamic_cast<P3List*>(findAny("relay_ctrl"));
  if (!mode) return;
  const Param* relayOn = findAny("relay_on");
  const bool fixed = mode->is("fix");
  if (&p == mode) {
    effects_->setRelay(fixed && relayOn && relayOn->isOn());
    if (auto* events = dynamic_cast<IntParam*>(findAny("relay_eves"))) events->setValue(0);
  } else if (fixed) {
    if (&p == relayOn) effects_->setRelay(p.isOn());
  } else if ((mode->is("stat") && startsWith(p.name(), "relay_stat_")) ||
             (mode->is("eve") && startsWith(p.name(), "relay_eve_"))) {
    effects_->setRelay(false);
  }
}

void ParamTable::applyDisplay(const Param& p) {
  constexpr int kShow = 0, kRemove = 8, kBlink = 0x24;
  constexpr int kBothLinks = 17;
  const std::string& name = p.name();
  if (name == "disp_def") {
    const std::string code = p.storedText();
    if (code.size() == 2) effects_->displayShow(code[0], code[1], kShow);
  } else if (name == "disp_pwr") {
    if (p.isOff()) {
      effects_->displayShow('E', '1', kRemove);
    } else if (const int state = effects_->displayState(); state != 0) {
      effects_->displayShow('E', '1', state | kBlink);
    }
  } else if (name == "disp_lnk") {
    if (p.isOff()) {
      effects_->displayShow('E', '5', kRemove);
    } else if (effects_->wiredLinkMask() != kBothLinks) {
      effects_->displayShow('E', '5', kBlink);
    }
  } else if (name == "disp_sdc") {
    static constexpr DisplayCode kByCardState[] = {{'E', '4'}, {'E', '2'}, {'E', '3'}};
    if (p.isOff()) {
      for (const char second : {'2', '3', '4'}) effects_->displayShow('E', second, kRemove);
    } else if (const int state = effects_->sdCardState(); state >= 0 && state <= 2) {
      effects_->displayShow(kByCardState[state].first, kByCardState[state].second, kBlink);
    }
  }
}

void ParamTable::destroyAll() {
  items_.clear();
  owned_.clear();
}
