#include "core/linux_gpio_backend.h"

#include <fcntl.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <string>

#include "core/paths.h"

bool LinuxGpioBackend::open() {
  gpio_.reset(::open(sysPath("/dev/gpio").c_str(), O_RDWR | O_CLOEXEC));
  return gpio_.valid();
}

void LinuxGpioBackend::close() { gpio_.reset(); }

int LinuxGpioBackend::ioctl(unsigned long request, void* argument) {
  if (!gpio_.valid()) {
    errno = EBADF;
    return -1;
  }
  return ::ioctl(gpio_.get(), request, argument) < 0 ? -1 : 0;
}

bool LinuxGpioBackend::openButtonControl() {
  buttonControl_.reset(::open(sysPath("/dev/button").c_str(), O_RDWR | O_CLOEXEC));
  return buttonControl_.valid();
}

int LinuxGpioBackend::buttonControlIoctl(unsigned long request, void* argument) {
  if (!buttonControl_.valid()) {
    errno = EBADF;
    return -1;
  }
  return ::ioctl(buttonControl_.get(), request, argument) < 0 ? -1 : 0;
}

void LinuxGpioBackend::closeButtonControl() { buttonControl_.reset(); }

int LinuxGpioBackend::openButton(int n) {
  const std::string path = sysPath("/dev/button") + std::to_string(n);
  return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}
