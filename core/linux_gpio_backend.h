#pragma once
// The GPIO and button drivers of the appliance, through their device nodes.
#include "core/gpio_backend.h"
#include "core/unique_fd.h"

class LinuxGpioBackend : public GpioBackend {
 public:
  bool open() override;
  void close() override;
  int ioctl(unsigned long request, void* argument) override;
  bool openButtonControl() override;
  int buttonControlIoctl(unsigned long request, void* argument) override;
  void closeButtonControl() override;
  int openButton(int n) override;

 private:
  UniqueFd gpio_;
  UniqueFd buttonControl_;
};
