#include "core/status_display.h"

#include <algorithm>
#include <cstdio>

#include "core/gpio_device.h"
#include "params/int_param.h"
#include "params/param_table.h"
#include "params/product.h"
#include "params/string_param.h"

namespace {

struct BlinkForm {
  int flag;
  uint32_t first, last, enable, periodMs;
};
// Form B wins over form A: it is applied last.
constexpr BlinkForm kBlinkForms[] = {
    {StatusDisplay::kBlinkA, 11, 15, 1, 200},
    {StatusDisplay::kBlinkB, 28, 31, 1, 50},
};

// Two segments of each character, rotating through four positions.
constexpr uint32_t kChaseSegments[] = {0x1200, 0x0C00, 0x00C0, 0x2100};
constexpr uint32_t kAllSegments = 0x7FFF7FFF;
constexpr size_t kListTextMax = 64;

constexpr int kSdCardMountedReadWrite = 3;

bool isOn(const ParamTable& params, const char* name) {
  const Param* p = params.find(name);
  return p && p->isOn();
}

}  // namespace

StatusDisplay::StatusDisplay(GpioDevice& device, ParamTable& params) : device_(device), params_(params) {}

bool StatusDisplay::onPanel() const { return device_.board().layout == GpioLayout::Panel; }

DisplayCommand StatusDisplay::command(char first, char second, int flags, uint32_t state) {
  const uint32_t dot1 = ((state & kPower1Missing) || (flags & kDot1)) ? '.' : 0;
  const uint32_t dot2 = ((state & kPower2Missing) || (flags & kDot2)) ? '.' : 0;
  DisplayCommand cmd;
  cmd.text = uint32_t{static_cast<unsigned char>(first)} << 24 | dot2 << 16 |
             uint32_t{static_cast<unsigned char>(second)} << 8 | dot1;
  for (const BlinkForm& form : kBlinkForms) {
    if (flags & form.flag) {
      cmd.blinkFirst = form.first;
      cmd.blinkLast = form.last;
      cmd.blinkEnable = form.enable;
      cmd.blinkPeriodMs = form.periodMs;
    }
  }
  return cmd;
}

bool StatusDisplay::show(char first, char second, int flags) {
  if (!onPanel()) return true;
  std::string text;
  bool result = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if ((state_ & kLocked) && !(flags & kLock)) return true;
    if (!(flags & kRemove)) {
      DisplayCommand cmd = command(first, second, flags, state_);
      result = device_.ioctl(kGpioDisplay, &cmd) == 0;
    }
    if (flags & kLock) {
      addCounter_ = 0;
      current_ = -1;
      state_ |= kLocked;
    }
    if (!(flags & (kAdd | kRemove))) return result;
    const int kept = flags & ~(kAdd | kRemove);
    int freeEntry = -1;
    for (int i = 0; i < kMaxCodes; ++i) {
      Code& code = codes_[i];
      if (code.first == 0) {
        if (freeEntry < 0) freeEntry = i;
        continue;
      }
      if (code.first != first || code.second != second) continue;
      if (!(flags & kRemove)) {
        code.flags = kept;
        return true;
      }
      // A removed code must leave disp_erVals as well.
      code = Code{};
      text = listTextLocked();
      freeEntry = -2;
      break;
    }
    if (freeEntry != -2) {
      if ((flags & kRemove) || freeEntry < 0) return false;
      codes_[freeEntry] = Code{first, second, kept};
      ++addCounter_;
      text = listTextLocked();
    }
  }
  storeListText(text);
  return result;
}

bool StatusDisplay::showDefault() {
  std::string text = "DS";
  if (const StringParam* def = params_.findAs<StringParam>("disp_def")) text = def->text();
  text.resize(2, ' ');
  return show(text[0], text[1], 0);
}

std::string StatusDisplay::listTextLocked() const {
  char buffer[kListTextMax + 1] = "";
  size_t used = 0;
  for (const Code& code : codes_) {
    if (code.first == 0) continue;
    int n = std::snprintf(buffer + used, sizeof buffer - used, "%s%c%c", used ? ", " : "", code.first,
                          code.second);
    if (n < 0) break;
    used = std::min(used + static_cast<size_t>(n), kListTextMax);
  }
  return std::string(buffer, used);
}

std::string StatusDisplay::listText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return listTextLocked();
}

void StatusDisplay::storeListText(const std::string& text) {
  if (StringParam* list = params_.findAs<StringParam>("disp_erVals")) list->setFromText(text);
}

uint32_t StatusDisplay::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void StatusDisplay::setSegments(int step) {
  if (!onPanel()) return;
  LedConfig config;
  config.segmentSelect = kAllSegments;
  if (step < 0) {
    config.segments = kAllSegments;
  } else {
    const uint32_t t = kChaseSegments[step % 4];
    config.segments = ~(t | t << 16);
  }
  device_.ioctl(kGpioLedConfig, &config);
}

int StatusDisplay::poll() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ & kLocked) return 1;
  }
  // A failed read says nothing about the supplies: no event, no "E1".
  uint32_t inputs = 0;
  if (device_.ioctl(kGpioInputs, &inputs) != 0) return 1;
  const uint32_t power = ((inputs & 1) ? 0 : kPower1Missing) | ((inputs & 2) ? 0 : kPower2Missing);
  bool changed = false;
  bool firstReading = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ & kLocked) return 1;
    changed = state_ != power;
    firstReading = !powerBaseline_;
    powerBaseline_ = true;
    state_ = power;
  }
  if (changed) {
    if (isOn(params_, "disp_pwr")) {
      if (power) {
        show('E', '1', static_cast<int>(power) | kAdd | kBlinkA);
      } else {
        show('E', '1', kRemove);
      }
    }
    // The first reading has nothing to compare with: a supply that is not
    // connected at start is no power failure.
    if (!firstReading && powerEvent_) powerEvent_(inputs);
  }
  warnByBeep(power);
  rotate();
  return 1;
}

void StatusDisplay::warnByBeep(uint32_t powerState) {
  const IntParam* features = params_.findAs<IntParam>("sw_features");
  if (!features || (features->value() & FeatureBeeper) == 0) return;
  const bool powerWarning = powerState != 0 && isOn(params_, "beepPwr");
  const bool cardWarning =
      sdCardState_ && isOn(params_, "beepSDc") && sdCardState_() != kSdCardMountedReadWrite;
  if (powerWarning || cardWarning) device_.beep(0);
}

void StatusDisplay::rotate() {
  Code next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (addCounter_ == 0) return;
    int i = current_ + 1;
    while (i < kMaxCodes && codes_[i].first == 0) ++i;
    if (i < kMaxCodes) {
      next = codes_[i];
      current_ = i;
    } else {
      current_ = -1;
    }
  }
  if (next.first) {
    show(next.first, next.second, next.flags);
  } else {
    showDefault();
  }
}
