#include "sim/gpio/sim_gpio_driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/paths.h"
#include "core/unique_fd.h"

namespace {

int64_t monotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int64_t monotonicCs() { return monotonicMs() / 10; }

// The words of an argument of `bytes` length.
std::vector<uint32_t> wordsOf(const void* argument, size_t bytes) {
  std::vector<uint32_t> words(bytes / 4);
  std::memcpy(words.data(), argument, words.size() * 4);
  return words;
}

// The argument size encoded in an ioctl number.
size_t argumentBytes(unsigned long request) { return (request >> 16) & 0x3FFF; }

uint32_t ledMaskOf(const SimGpioProfile& profile) {
  uint32_t mask = kLedActivity | kLedStatus | kLedWlan;
  const int leds = std::min(profile.ports, gpioLedCount(profile.board.layout));
  for (int i = 0; i < leds; ++i) mask |= gpioLedBits(profile.board, i, ~uint32_t{0}).both();
  return mask;
}

std::string hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

}  // namespace

SimGpioProfile simGpioProfileFor(uint32_t gpioHwProject, int usbPorts) {
  SimGpioProfile profile;
  profile.board = gpioBoardOf(gpioHwProject);
  profile.ports = usbPorts;
  return profile;
}

SimGpioDriver::SimGpioDriver(SimGpioProfile profile)
    : profile_(profile),
      ledMask_(ledMaskOf(profile)),
      // The single-LED boards carry the older driver without LED patterns.
      playsPatterns_(profile.board.layout != GpioLayout::SingleLed) {}

bool SimGpioDriver::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = true;
  return true;
}

void SimGpioDriver::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = false;
}

bool SimGpioDriver::takeFailure(unsigned long request) {
  auto it = failures_.find(request);
  if (it == failures_.end()) return false;
  if (--it->second <= 0) failures_.erase(it);
  return true;
}

void SimGpioDriver::record(bool buttonDevice, unsigned long request, std::vector<uint32_t> words, int result) {
  SimGpioRecord entry;
  entry.sequence = nextSequence_++;
  entry.timeMs = monotonicMs();
  entry.buttonDevice = buttonDevice;
  entry.request = request;
  entry.words = std::move(words);
  entry.result = result;
  journal_.push_back(std::move(entry));
  if (journal_.size() > kJournalLimit) journal_.pop_front();
}

int SimGpioDriver::ioctl(unsigned long request, void* argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint32_t> words;
  int result = -1;
  int error = EBADF;
  if (open_) {
    if (takeFailure(request)) {
      error = EIO;
    } else {
      result = serve(request, argument, words);
      error = result == 0 ? 0 : ENOTTY;
    }
  }
  if (words.empty() && argument) words = wordsOf(argument, argumentBytes(request));
  record(false, request, std::move(words), result);
  if (result != 0) errno = error;
  return result;
}

uint32_t SimGpioDriver::litBits(uint32_t asked) const {
  uint32_t lit = 0;
  for (int bit = 0; bit < 32; ++bit) {
    const uint32_t mask = uint32_t{1} << bit;
    if (!(asked & mask)) continue;
    auto it = patterns_.find(bit);
    if (it == patterns_.end()) continue;
    const LedPattern& p = it->second;
    // A blinking LED reads as lit: it is on in some of its steps.
    if (p.steps == 0 ? (p.pattern & mask) != 0 : (p.pattern & p.steps) != 0) lit |= mask;
  }
  return lit;
}

int SimGpioDriver::serve(unsigned long request, void* argument, std::vector<uint32_t>& words) {
  if (!argument) return -1;
  switch (request) {
    case kGpioOutputOn:
      outputs_ |= *static_cast<uint32_t*>(argument);
      return 0;
    case kGpioOutputOff:
      outputs_ &= ~*static_cast<uint32_t*>(argument);
      return 0;
    case kGpioLedPattern: {
      if (!playsPatterns_) return -1;
      const LedPattern p = *static_cast<LedPattern*>(argument);
      for (int bit = 0; bit < 32; ++bit) {
        if (p.select & (uint32_t{1} << bit)) patterns_[bit] = p;
      }
      return 0;
    }
    case kGpioLedConfig: {
      if (profile_.board.layout != GpioLayout::Panel) return -1;
      const LedConfig c = *static_cast<LedConfig*>(argument);
      for (int bank = 0; bank < 2; ++bank) {
        ledConfig_.select[bank] |= c.select[bank];
        ledConfig_.value[bank] = (ledConfig_.value[bank] & ~c.select[bank]) | (c.value[bank] & c.select[bank]);
      }
      ledConfig_.segmentSelect = c.segmentSelect ? c.segmentSelect : ledConfig_.segmentSelect;
      ledConfig_.segments = (ledConfig_.segments & ~c.segmentSelect) | (c.segments & c.segmentSelect);
      return 0;
    }
    case kGpioLedState: {
      auto* word = static_cast<uint32_t*>(argument);
      words = {*word};
      *word = litBits(*word);
      words.push_back(*word);
      return 0;
    }
    case kGpioDisplay:
      if (profile_.board.layout != GpioLayout::Panel) return -1;
      display_ = *static_cast<DisplayCommand*>(argument);
      return 0;
    case kGpioCounter:
      *static_cast<uint64_t*>(argument) = static_cast<uint64_t>(monotonicCs() + warpTicks_);
      return 0;
    case kGpioProbe:
      // Only a driver without LED patterns knows the probe.
      if (playsPatterns_) return -1;
      *static_cast<uint32_t*>(argument) = 1;
      return 0;
    case kGpioLedMap: {
      if (!playsPatterns_) return -1;
      auto* map = static_cast<LedMap*>(argument);
      *map = LedMap{};
      map->words[0] = ledMask_;
      return 0;
    }
    case kGpioDriverWord:
      *static_cast<uint32_t*>(argument) = profile_.driverWord;
      return 0;
    case kGpioLedRegister:
      ledRegister_ = *static_cast<uint32_t*>(argument);
      return 0;
    case kGpioInputs:
      *static_cast<uint32_t*>(argument) = inputs_;
      return 0;
    case kGpioCardPresence:
      if (!profile_.cardSlot) return -1;
      *static_cast<uint32_t*>(argument) = card_ ? 1 : 0;
      return 0;
    default:
      return -1;
  }
}

bool SimGpioDriver::openButtonControl() {
  std::lock_guard<std::mutex> lock(mutex_);
  buttonControlOpen_ = profile_.buttonMask != 0;
  return buttonControlOpen_;
}

void SimGpioDriver::closeButtonControl() {
  std::lock_guard<std::mutex> lock(mutex_);
  buttonControlOpen_ = false;
}

int SimGpioDriver::buttonControlIoctl(unsigned long request, void* argument) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint32_t> words;
  int result = -1;
  int error = EBADF;
  if (buttonControlOpen_) {
    if (takeFailure(request)) {
      error = EIO;
    } else {
      result = serveButtonControl(request, argument, words);
      error = result == 0 ? 0 : ENOTTY;
    }
  }
  if (argument) words = wordsOf(argument, argumentBytes(request));
  record(true, request, std::move(words), result);
  if (result != 0) errno = error;
  return result;
}

int SimGpioDriver::serveButtonControl(unsigned long request, void* argument, std::vector<uint32_t>&) {
  if (!argument) return -1;
  auto* config = static_cast<ButtonConfig*>(argument);
  switch (request) {
    case kButtonConfigRead:
      *config = buttonConfig_;
      config->mask = profile_.buttonMask;
      return 0;
    case kButtonConfigWrite:
      buttonConfig_ = *config;
      buttonConfig_.mask = profile_.buttonMask;
      return 0;
    default:
      return -1;
  }
}

std::string SimGpioDriver::buttonPath(int n) const { return sysPath("/dev/button") + std::to_string(n); }

int SimGpioDriver::openButton(int n) {
  if (n < 0 || n > 31 || !(profile_.buttonMask & (uint32_t{1} << n))) {
    errno = ENOENT;
    return -1;
  }
  const std::string path = buttonPath(n);
  ::mkdir(sysPath("/dev").c_str(), 0755);
  if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return -1;
  // Read-write: the open never waits for a writer and the FIFO never reports
  // end of file when a writer goes away.
  return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

int SimGpioDriver::pressButton(int n, const std::string& characters) {
  if (n < 0 || n > 31) return -EINVAL;
  UniqueFd fifo(::open(buttonPath(n).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fifo.valid()) return -errno;
  const ssize_t written = ::write(fifo.get(), characters.data(), characters.size());
  if (written < 0) return -errno;
  return written == static_cast<ssize_t>(characters.size()) ? 0 : -EAGAIN;
}

void SimGpioDriver::setPowerInput(int input, bool present) {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint32_t bit = input == 1 ? 0x1 : 0x2;
  inputs_ = present ? (inputs_ | bit) : (inputs_ & ~bit);
}

void SimGpioDriver::setCard(bool present) {
  std::lock_guard<std::mutex> lock(mutex_);
  card_ = present;
}

void SimGpioDriver::failNext(unsigned long request, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count <= 0) {
    failures_.erase(request);
  } else {
    failures_[request] = count;
  }
}

void SimGpioDriver::warp(int64_t ticks) {
  std::lock_guard<std::mutex> lock(mutex_);
  warpTicks_ += ticks;
}

std::vector<SimGpioRecord> SimGpioDriver::journal(uint64_t sinceSequence) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SimGpioRecord> records;
  for (const SimGpioRecord& entry : journal_) {
    if (entry.sequence > sinceSequence) records.push_back(entry);
  }
  return records;
}

uint32_t SimGpioDriver::outputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputs_;
}

uint32_t SimGpioDriver::ledRegister() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ledRegister_;
}

DisplayCommand SimGpioDriver::display() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return display_;
}

uint32_t SimGpioDriver::segments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ledConfig_.segments;
}

std::string SimGpioDriver::recordText(const SimGpioRecord& record) {
  char head[96];
  std::snprintf(head, sizeof head, "%llu %lld %s 0x%08lX", static_cast<unsigned long long>(record.sequence),
                static_cast<long long>(record.timeMs), record.buttonDevice ? "button" : "gpio",
                record.request);
  std::string text = head;
  for (uint32_t word : record.words) text += " " + hex(word);
  text += " -> " + std::to_string(record.result);
  return text;
}

std::string SimGpioDriver::stateText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  auto line = [&text](const std::string& name, const std::string& value) { text += name + " " + value + "\n"; };
  line("layout", gpioLayoutName(profile_.board.layout));
  line("open", open_ ? "1" : "0");
  line("outputs", hex(outputs_));
  line("led_register", hex(ledRegister_));
  line("led_mask", hex(ledMask_));
  const char first = static_cast<char>(display_.text >> 24);
  const char second = static_cast<char>(display_.text >> 8);
  std::string shown;
  shown += first ? first : ' ';
  if (display_.text & 0x00FF0000) shown += '.';
  shown += second ? second : ' ';
  if (display_.text & 0xFF) shown += '.';
  line("display", "\"" + shown + "\" blink " + std::to_string(display_.blinkFirst) + " " +
                      std::to_string(display_.blinkLast) + " " + std::to_string(display_.blinkEnable) + " " +
                      std::to_string(display_.blinkPeriodMs));
  line("segments", hex(ledConfig_.segments));
  line("panel_leds", hex(ledConfig_.value[0]) + " " + hex(ledConfig_.value[1]));
  line("inputs", hex(inputs_));
  line("card", card_ ? "in" : "out");
  line("counter", std::to_string(monotonicCs() + warpTicks_));
  line("buttons", hex(profile_.buttonMask) + " timing " + std::to_string(buttonConfig_.timing[0]) + " " +
                      std::to_string(buttonConfig_.timing[1]));
  for (const auto& [bit, p] : patterns_) {
    line("pattern", std::to_string(bit) + " " + hex(p.select) + " " + hex(p.pattern) + " " + hex(p.steps) + " " +
                        std::to_string(p.repeat) + " " + std::to_string(p.stepMs));
  }
  return text;
}
