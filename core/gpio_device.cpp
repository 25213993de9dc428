#include "core/gpio_device.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "core/run_state.h"
#include "core/shutdown_task.h"
#include "core/status_display.h"
#include "core/task.h"
#include "core/tick_clock.h"
#include "params/int_param.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/param_table.h"
#include "params/product.h"
#include "params/string_param.h"

namespace {

constexpr LedPattern kActivityFlash{kLedActivity, 0x1, 0x3, 0, 100};
constexpr LedPattern kAddressSet{kLedStatus, 0x5, 0x3FF, 1, 250};
constexpr LedPattern kNoAddress{kLedStatus, 0x15, 0x3FF, 1, 250};

// WLAN LED patterns by state; every other state switches the LED off.
constexpr LedPattern kWlanPatterns[] = {
    {kLedWlan, 0, 0, 0, 0},
    {kLedWlan, 0xCC, 0xFF, 1, 0},
    {kLedWlan, kLedWlan, 0, 0, 0},
    {kLedWlan, 0xAA, 0xFF, 1, 0},
};

struct BeepKind {
  int kind;
  int durationMs;
  int count;
};
constexpr BeepKind kBeepKinds[] = {{1, 400, 1}, {2, 100, 2}};
constexpr BeepKind kDefaultBeep{0, 100, 1};
constexpr int kBeepGapMs = 250;

// The variants that power their USB ports by default when the port power
// settings do not exist. The single product numbers are this project's own.
constexpr uint32_t kDefaultPoweredProducts[] = {101, 181, 182};

bool powersPortsByDefault(uint32_t productId) {
  switch (variantGroupOf(productId)) {
    case VariantGroup::FourPortBasic:
    case VariantGroup::RelayModel:
      return true;
    default:
      break;
  }
  for (const ProductVariant& variant : productVariants()) {
    if (variant.product_id == productId && (variant.properties & WirelessOnly)) return true;
  }
  return std::find(std::begin(kDefaultPoweredProducts), std::end(kDefaultPoweredProducts), productId) !=
         std::end(kDefaultPoweredProducts);
}

bool hasStartBeep(uint32_t productId) {
  const VariantGroup group = variantGroupOf(productId);
  return group == VariantGroup::DisplayModel || group == VariantGroup::MailBeeper;
}

uint32_t colourSelect(const LedBits& bits, int colour) {
  switch (colour) {
    case 1:
      return bits.colour1;
    case 2:
      return bits.colour2;
    case 3:
      return bits.both();
    default:
      return 0;
  }
}

void sleepMs(int ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Either a task wait (serving its messages) or a plain sleep.
void pause(Task* task, int ticks) {
  if (task) {
    task->wait(ticks);
  } else {
    sleepMs(ticks * 10);
  }
}

std::atomic<StatusDisplay*> hookedDisplay{nullptr};

void showOnHookedDisplay(char c1, char c2, int flags) {
  if (StatusDisplay* display = hookedDisplay.load()) display->show(c1, c2, flags);
}

}  // namespace

GpioDevice::GpioDevice(GpioBackend& backend, ParamTable& params, const ProductInfo& product)
    : backend_(backend),
      params_(params),
      board_(gpioBoardOf(product.gpio_hw_project)),
      usbPorts_(static_cast<int>(std::min<uint32_t>(product.usb_ports_phy, kMaxUsbPorts))),
      productId_(product.product_id),
      display_(std::make_unique<StatusDisplay>(*this, params)) {
  StatusDisplay* none = nullptr;
  if (hookedDisplay.compare_exchange_strong(none, display_.get())) setStatusShowHook(showOnHookedDisplay);
}

GpioDevice::~GpioDevice() {
  StatusDisplay* mine = display_.get();
  if (hookedDisplay.compare_exchange_strong(mine, nullptr)) setStatusShowHook(nullptr);
  {
    std::unique_lock<std::mutex> lock(beepMutex_);
    beepsDone_.wait(lock, [this] { return runningBeeps_ == 0; });
  }
  if (isOpen()) close();
}

bool GpioDevice::open() {
  {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (open_.load()) return true;
    if (!backend_.open()) {
      std::fprintf(stderr, "GPIO: %s cannot be opened: %s\n", "/dev/gpio", std::strerror(errno));
      return false;
    }
    open_.store(true, std::memory_order_release);
  }
  // Outside the device mutex: the clock's mutex nests outside it.
  setTickCounterSource([this](int64_t& centiseconds) {
    uint64_t count = 0;
    if (ioctl(kGpioCounter, &count) != 0) return false;
    centiseconds = static_cast<int64_t>(count);
    return true;
  });
  return true;
}

bool GpioDevice::close() {
  if (!isOpen()) return false;
  setTickCounterSource({});
  std::lock_guard<std::mutex> lock(deviceMutex_);
  if (!open_.load()) return false;
  if (enabled()) {
    LedPattern flash{ledMask(), 0x1, 0x3, 0, 300};
    backend_.ioctl(kGpioLedPattern, &flash);
  }
  backend_.close();
  open_.store(false, std::memory_order_release);
  return true;
}

int GpioDevice::ioctl(unsigned long request, void* argument) {
  std::lock_guard<std::mutex> lock(deviceMutex_);
  if (!open_.load(std::memory_order_relaxed)) return -1;
  return backend_.ioctl(request, argument);
}

int GpioDevice::featureWord() const {
  const IntParam* features = params_.findAs<IntParam>("sw_features");
  return features ? features->value() : 0;
}

bool GpioDevice::setOutput(int bit, bool on) {
  if (!enabled() || bit < 0 || bit > 31) return false;
  uint32_t mask = uint32_t{1} << bit;
  return request(on ? kGpioOutputOn : kGpioOutputOff, &mask);
}

bool GpioDevice::setRelay(bool on) {
  if ((featureWord() & FeatureRelay) == 0) return false;
  return setOutput(kRelayOutput, !on);
}

bool GpioDevice::beep(int kind) {
  // Outputs 0 to 19 switch the USB ports; a board without the beeper feature
  // has no beeper behind output 0, and beeping there would cut port 1.
  if ((featureWord() & FeatureBeeper) == 0) return false;
  BeepKind chosen = kDefaultBeep;
  for (const BeepKind& entry : kBeepKinds) {
    if (entry.kind == kind) chosen = entry;
  }
  const int output = board_.layout == GpioLayout::Panel ? kPanelBeeperOutput : kBeeperOutput;
  {
    std::lock_guard<std::mutex> lock(beepMutex_);
    ++runningBeeps_;
  }
  try {
    std::thread(&GpioDevice::beepThread, this, output, chosen.durationMs, chosen.count).detach();
  } catch (const std::system_error&) {
    std::lock_guard<std::mutex> lock(beepMutex_);
    --runningBeeps_;
    beepsDone_.notify_all();
    return false;
  }
  return true;
}

void GpioDevice::beepThread(int output, int durationMs, int count) {
  while (count > 0) {
    setOutput(output, true);
    sleepMs(durationMs);
    setOutput(output, false);
    --count;
    if (count > 0) sleepMs(kBeepGapMs);
  }
  std::lock_guard<std::mutex> lock(beepMutex_);
  --runningBeeps_;
  beepsDone_.notify_all();
}

bool GpioDevice::playPattern(const LedPattern& pattern) {
  LedPattern copy = pattern;
  return request(kGpioLedPattern, &copy);
}

bool GpioDevice::setPanelLed(int index, int colour) {
  if (colour < 0 || colour > 3) return false;
  const LedBits bits = gpioLedBits(board_, index, ~uint32_t{0});
  if (bits.both() == 0) return false;
  LedConfig config;
  const int bank = panelLedBank(index);
  config.select[bank] = bits.both();
  config.value[bank] = colour == 1 ? bits.colour1 : colour >= 2 ? bits.colour2 : 0;
  return request(kGpioLedConfig, &config);
}

bool GpioDevice::setLed(int index, int colour, int rate) {
  if (board_.layout == GpioLayout::Panel) return setPanelLed(index, colour);
  if (!enabled() || index < 0 || rate < 0) return false;
  const uint32_t mask = ledMask();
  const LedBits bits = gpioLedBits(board_, index, mask);
  if ((bits.both() & mask) == 0) return false;
  LedPattern pattern;
  if (rate > 0) {
    pattern = {colourSelect(bits, colour), 0x1, 0x3, 1, static_cast<uint32_t>(1000 / rate)};
  } else {
    if (colour < 0 || colour > 3) return false;
    pattern = {bits.both(), colourSelect(bits, colour), 0, 0, 0};
  }
  if ((pattern.select & mask) == 0) return false;
  return playPattern(pattern);
}

int GpioDevice::ledState(int index) {
  const uint32_t mask = board_.layout == GpioLayout::Panel ? ~uint32_t{0} : ledMask();
  const LedBits bits = gpioLedBits(board_, index, mask);
  uint32_t word = bits.both();
  if (word == 0 || !request(kGpioLedState, &word)) return 0;
  return ((word & bits.colour1) ? 1 : 0) | ((word & bits.colour2) ? 2 : 0);
}

bool GpioDevice::flashActivity() { return enabled() && playPattern(kActivityFlash); }
bool GpioDevice::signalAddressSet() { return enabled() && playPattern(kAddressSet); }
bool GpioDevice::signalNoAddress() { return enabled() && playPattern(kNoAddress); }

bool GpioDevice::setWlanLed(int state) {
  if (!enabled()) return false;
  const bool known = state >= 0 && state < static_cast<int>(std::size(kWlanPatterns));
  return playPattern(kWlanPatterns[known ? state : 0]);
}

bool GpioDevice::probeAndMapLeds() {
  LedMap map;
  uint32_t driverWord = 0;
  {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (backend_.ioctl(kGpioLedMap, &map) != 0 || backend_.ioctl(kGpioDriverWord, &driverWord) != 0) {
      return false;
    }
  }
  ledMask_.store(map.words[0], std::memory_order_release);
  driverWord_.store(driverWord, std::memory_order_release);
  return true;
}

void GpioDevice::startBeep() {
  if (runState().kickOff.load() == 0 && hasStartBeep(productId_)) beep(0);
}

void GpioDevice::chase(Task& task) {
  const int ports = usbPorts_;
  const int half = ports / 2;
  StatusDisplay& display = *display_;
  for (int i = 0; i < ports; ++i) setLed(i, 0, 0);
  for (int k = 0; k < half; ++k) {
    setLed(half - 1 - k, 2, 0);
    setLed(half + k, 2, 0);
    display.setSegments(k);
    task.wait(10);
  }
  for (int k = 0; k < 10; ++k) {
    display.setSegments(half + k);
    task.wait(10);
  }
  for (int k = 0; k < half; ++k) {
    setLed(half - 1 - k, 1, 0);
    setLed(half + k, 1, 0);
    display.setSegments(half + 10 + k);
    task.wait(10);
  }
  display.setSegments(-1);
  task.wait(150);
  for (int i = 0; i < ports; ++i) setLed(i, 0, 0);
  display.showDefault();
}

void GpioDevice::configureButtons() {
  ButtonConfig config;
  bool controlOpen = false;
  bool readOk = false;
  {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    controlOpen = backend_.openButtonControl();
    if (controlOpen) readOk = backend_.buttonControlIoctl(kButtonConfigRead, &config) == 0;
  }
  if (readOk || !controlOpen) buttonMask_.store(config.mask, std::memory_order_release);
  if (!controlOpen) return;
  config.timing[0] = 3500;
  config.timing[1] = 3550;
  std::lock_guard<std::mutex> lock(deviceMutex_);
  backend_.buttonControlIoctl(kButtonConfigWrite, &config);
  backend_.closeButtonControl();
}

void GpioDevice::powerPorts(Task* task) {
  const int ports = usbPorts_;
  const int step = std::max(ports / 4, 1);
  const bool poweredByDefault = powersPortsByDefault(productId_);
  // Without ports there is no group to stagger.
  for (int group = 0; group < step && group < ports; ++group) {
    for (int port = group; port < ports; port += step) {
      const std::string name = "wyk_poff_" + std::to_string(port + 1);
      if (const Param* off = params_.find(name)) {
        setOutput(port, off->isOff());
      } else if (poweredByDefault) {
        setOutput(port, true);
      }
    }
    pause(task, 50);
  }
}

void GpioDevice::applyRelaySetting() {
  if ((featureWord() & FeatureRelay) == 0) return;
  const P3List* control = params_.findAs<P3List>("relay_ctrl");
  const Param* on = params_.find("relay_on");
  if (control && on && control->is("fix")) setRelay(on->isOn());
}

bool GpioDevice::awaitProbe(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(probeMutex_);
  return probeDone_.wait_for(lock, limit, [this] { return probed_; });
}

bool GpioDevice::start(Task* task) {
  if (!isOpen()) {
    std::fprintf(stderr, "GPIO: the device cannot start: %s is not open\n", "/dev/gpio");
    return false;
  }
  bool enabled = true;
  if (board_.layout != GpioLayout::Panel) {
    uint32_t word = 0;
    enabled = ioctl(kGpioProbe, &word) != 0;
  }
  enabled_.store(enabled, std::memory_order_release);
  {
    std::lock_guard<std::mutex> lock(probeMutex_);
    probed_ = true;
  }
  probeDone_.notify_all();
  if (!enabled) {
    // A driver without LED patterns: the Blinker drives the status LED.
    for (uint32_t setup : {0x228u, 0x3000000u}) ioctl(kGpioLedRegister, &setup);
    // Its buttons still reset the device to the factory settings.
    configureButtons();
  } else {
    if (board_.layout != GpioLayout::Panel && !probeAndMapLeds()) {
      std::fprintf(stderr, "GPIO: the LED map cannot be read; the device does not start\n");
      return false;
    }
    startBeep();
    if (task && board_.layout != GpioLayout::SingleLed) chase(*task);
    configureButtons();
    powerPorts(task);
    applyRelaySetting();
  }
  started_.store(true, std::memory_order_release);
  return true;
}
