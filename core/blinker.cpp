#include "core/blinker.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "core/gpio_device.h"
#include "core/gpio_requests.h"
#include "core/run_state.h"
#include "core/task_table.h"
#include "params/ip4_address.h"
#include "params/param_table.h"

std::atomic<int> identifyCount{0};

namespace {

constexpr int kIdentifyPattern[] = {0, 0, 0, 1, 0, 1};
constexpr int kInUsePattern[] = {1};
constexpr int kAddressPattern[] = {0, 0, 0, 1, 0, 1, 0, 1};
constexpr int kNoAddressPattern[] = {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0};
constexpr int kOffPattern[] = {0};

constexpr uint32_t kLedRegisterBase = 0x3000000;
constexpr int kStatusLedShift = 26;

// Formatting that a signal handler may use.
struct SignalSafeText {
  char buffer[256];
  size_t used = 0;
  void add(const char* text) {
    while (*text && used < sizeof buffer) buffer[used++] = *text++;
  }
  void add(long value) {
    char digits[24];
    size_t n = 0;
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude && n < sizeof digits);
    if (value < 0) add("-");
    while (n && used < sizeof buffer) buffer[used++] = digits[--n];
  }
};

}  // namespace

void testSigHandler(int signal) {
  const int savedErrno = errno;
  identifyCount.store(4);
  SignalSafeText text;
  text.add("testSigHandler(");
  text.add(static_cast<long>(signal));
  text.add(") <");
  text.add(currentTaskName());
  text.add("> shutdowns:");
  text.add(static_cast<long>(runState().shutdowns.load()));
  text.add(" sigInts:");
  text.add(static_cast<long>(runState().sigInts.load()));
  text.add("\n");
  ssize_t ignored = ::write(STDERR_FILENO, text.buffer, text.used);
  (void)ignored;
  errno = savedErrno;
}

Blinker::Blinker(GpioDevice& device, std::function<bool()> usbInUse)
    : Task("Blinker"), device_(device), usbInUse_(std::move(usbInUse)) {}

std::span<const int> Blinker::patternOf(int status) {
  switch (status) {
    case Identify:
      return kIdentifyPattern;
    case InUse:
      return kInUsePattern;
    case Address:
      return kAddressPattern;
    case NoAddress:
      return kNoAddressPattern;
    default:
      return kOffPattern;
  }
}

int Blinker::evaluate() {
  int pending = identifyCount.load();
  while (pending > 0 && !identifyCount.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) return Identify;
  if (usbInUse_ && usbInUse_()) return InUse;
  const Ip4Address* address = device_.params().findAs<Ip4Address>("ip_addr");
  if (address && address->isSet() && !address->isLinkLocal()) return Address;
  return NoAddress;
}

void Blinker::waitStep() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStepMs);
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    wait((left + 9) / 10);
  }
}

void Blinker::run() {
  struct sigaction action {};
  action.sa_handler = testSigHandler;
  sigemptyset(&action.sa_mask);
  sigaction(kIdentifySignal, &action, nullptr);
  std::span<const int> pattern = patternOf(status_);
  size_t element = 0;
  for (;;) {
    if (stepCounter_++ > 3 || identifyCount.load() > 0) {
      status_ = evaluate();
      if (status_ != lastStatus_) {
        lastStatus_ = status_;
        pattern = patternOf(status_);
        element = 0;
      }
      stepCounter_ = 0;
    }
    uint32_t value = (static_cast<uint32_t>(pattern[element]) << kStatusLedShift) | kLedRegisterBase;
    device_.ioctl(kGpioLedRegister, &value);
    element = (element + 1) % pattern.size();
    waitStep();
  }
}
