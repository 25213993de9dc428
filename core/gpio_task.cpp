#include "core/gpio_task.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

#include "core/gpio_device.h"
#include "core/run_state.h"
#include "core/shutdown_task.h"
#include "params/int_param.h"
#include "params/ip4_address.h"
#include "params/param_table.h"
#include "params/product.h"

namespace {

constexpr int kFactoryResetLedRate = 6;

bool hasUsableAddress(const ParamTable& params) {
  const Ip4Address* address = params.findAs<Ip4Address>("ip_addr");
  return address && address->isSet() && !address->isLinkLocal();
}

}  // namespace

GpioTask::GpioTask(GpioDevice& device, const ProductInfo& product, GpioTaskHooks hooks)
    : Task("GPio"), device_(device), usbTableProductId_(product.usbtable_product_id), hooks_(std::move(hooks)) {}

GpioTask::~GpioTask() {
  for (int fd : buttons_) {
    if (fd >= 0) closeButton(fd);
  }
}

void GpioTask::run() {
  device_.start(this);
  if (hasUsableAddress(device_.params())) {
    device_.signalAddressSet();
  } else {
    device_.signalNoAddress();
  }
  if (device_.buttonMask() == 0) exit();
  openButtons();
  for (;;) dispatch(6000);
}

void GpioTask::openButtons() {
  const uint32_t mask = device_.buttonMask();
  for (int n = 0; n < kButtons; ++n) {
    if (!(mask & (1u << n))) continue;
    buttons_[n] = device_.openButton(n);
    watches_[n] = FdWatch{this, &GpioTask::buttonReadable, buttons_[n]};
    // A button that did not open is not served.
    if (buttons_[n] >= 0) addWatch(&watches_[n], EPOLLIN);
  }
}

int GpioTask::buttonReadable(FdWatch* watch, uint32_t) {
  auto* task = static_cast<GpioTask*>(watch->owner);
  if (!task) return -1;
  return task->onButton(watch->fd);
}

void GpioTask::closeButton(int fd) {
  for (int n = 0; n < kButtons; ++n) {
    if (buttons_[n] != fd) continue;
    removeWatch(fd);
    ::close(fd);
    buttons_[n] = -1;
    watches_[n].owner = nullptr;
  }
}

int GpioTask::onButton(int fd) {
  char bytes[kReadSize];
  const ssize_t n = ::read(fd, bytes, sizeof bytes);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  if (n <= 0) {
    closeButton(fd);
    return 0;
  }
  bool zero = false;
  bool one = false;
  int examined = 0;
  for (ssize_t i = 0; i < n && bytes[i] != '\0'; ++i, ++examined) {
    zero = zero || bytes[i] == '0';
    one = one || bytes[i] == '1';
  }
  if (IntParam* count = device_.params().findAs<IntParam>("button_cnt")) {
    const int64_t sum = int64_t{count->value()} + examined;
    if (sum <= INT32_MAX) count->setChecked(static_cast<int32_t>(sum));
  }
  if (one) {
    factoryReset();
  } else if (zero && isWirelessOnly() && hooks_.startWps) {
    hooks_.startWps();
  }
  return 0;
}

void GpioTask::factoryReset() {
  device_.beep(0);
  for (int led = 0; led < 32; ++led) device_.setLed(led, 2, kFactoryResetLedRate);
  device_.params().factoryReset();
  if (device_.board().layout != GpioLayout::Panel) runState().exitCode.store(2);
  if (hooks_.launchShutDown) {
    hooks_.launchShutDown(1);
  } else {
    ShutDown::launch(1);
  }
}

bool GpioTask::isWirelessOnly() const {
  for (const ProductVariant& variant : productVariants()) {
    if (variant.product_id == usbTableProductId_) return (variant.properties & WirelessOnly) != 0;
  }
  return false;
}
