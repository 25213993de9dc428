#pragma once
// The seam to the GPIO driver (/dev/gpio) and the button driver
// (/dev/button, /dev/button<n>). GpioDevice issues every driver request
// through it; the linux implementation makes the system calls, the
// simulation in sim/gpio/ models the drivers.
//
// Not thread-safe: GpioDevice serialises every call with its device mutex,
// apart from openButton, whose descriptors belong to the caller.
#include <cstdint>

class GpioBackend {
 public:
  virtual ~GpioBackend() = default;

  // open(sysPath("/dev/gpio"), O_RDWR); false when it failed.
  virtual bool open() = 0;
  // close(fd) of the /dev/gpio descriptor.
  virtual void close() = 0;
  // ioctl(fd, request, argument) on /dev/gpio: 0, or -1 with errno set.
  virtual int ioctl(unsigned long request, void* argument) = 0;

  // open(sysPath("/dev/button"), O_RDWR); false when it failed.
  virtual bool openButtonControl() = 0;
  // ioctl(fd, request, argument) on /dev/button: 0, or -1 with errno set.
  virtual int buttonControlIoctl(unsigned long request, void* argument) = 0;
  // close(fd) of the /dev/button descriptor.
  virtual void closeButtonControl() = 0;

  // open(sysPath("/dev/button<n>"), O_RDONLY | O_NONBLOCK | O_CLOEXEC): a
  // descriptor the caller owns and may watch with epoll, or -1.
  virtual int openButton(int n) = 0;
};
