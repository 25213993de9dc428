#pragma once
// The USB platform of the appliance: the kernel's sysfs tree and usbfs nodes,
// each method one system call (see UsbPlatform for the calls and results).
// Stateless, so one instance serves every thread.
#include "usbserver/usb_platform.h"

class LinuxUsbPlatform final : public UsbPlatform {
 public:
  std::string sysfsDevicesDir() const override;
  std::string devBusUsbDir() const override;
  bool mountSysfs() override;
  int makeNode(const std::string& path, unsigned major, unsigned minor) override;
  int openNode(const std::string& path, int flags) override;
  int closeNode(int fd) override;
  ssize_t readNode(int fd, void* buffer, size_t size) override;
  off_t seekNode(int fd, off_t offset, int whence) override;
  int control(int fd, usbdevfs_ctrltransfer& transfer) override;
  int setConfiguration(int fd, unsigned value) override;
  int claimInterface(int fd, unsigned interface) override;
  int releaseInterface(int fd, unsigned interface) override;
  int setInterface(int fd, unsigned interface, unsigned alternate) override;
  int clearHalt(int fd, unsigned endpoint) override;
  int reset(int fd) override;
  int request551A(int fd) override;
  int submitUrb(int fd, usbdevfs_urb* urb) override;
  int reapUrbNoDelay(int fd, usbdevfs_urb** completed) override;
  int discardUrb(int fd, usbdevfs_urb* urb) override;
  uint32_t nodePollEvents() const override;
};
