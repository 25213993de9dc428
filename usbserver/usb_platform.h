#pragma once
// The USB stack of the platform as the USB server sees it: the sysfs tree it
// discovers devices in, and the usbfs device nodes it opens, reads and drives
// with usbdevfs requests. The server receives one UsbPlatform through its
// constructor; LinuxUsbPlatform makes the kernel calls, the simulated usbfs
// (sim/) reproduces their semantics on a machine without USB.
//
// Results: a value >= 0 on success, the negated error number on failure
// (-ENODEV, -EPIPE, -EAGAIN, ...); errno carries nothing across this seam.
//
// Node semantics every implementation keeps (the server relies on them):
// - A node's descriptor is a real descriptor that can be watched with epoll
//   for nodePollEvents(); it is ready while a completion waits to be reaped or
//   once the device is gone.
// - IN data, status and actual_length are written into a usbdevfs_urb when it
//   is reaped, never earlier; a submitted urb and its buffer must therefore
//   stay allocated until it was reaped or its node was closed.
// - A discarded urb still completes (status -ECONNRESET) and must be reaped.
// - After the device is gone, every pending urb completes with an error
//   status; once those are reaped, reapUrbNoDelay answers -ENODEV.
// - Every method may be called from any thread; calls on different nodes
//   never wait for each other.
#include <linux/usbdevice_fs.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

class UsbPlatform {
 public:
  virtual ~UsbPlatform() = default;

  // sysPath("/sys/bus/usb/devices"): one entry per device ("1-1.3"), per
  // interface ("1-1.3:1.0") and per root hub ("usb1").
  virtual std::string sysfsDevicesDir() const = 0;

  // sysPath("/dev/bus/usb"): the nodes live in "BBB/DDD" below it.
  virtual std::string devBusUsbDir() const = 0;

  // open("/proc/mounts") and, when no line names sysPath("/sys"),
  // mount("none", sysPath("/sys"), "sysfs", 0, nullptr). True when sysfs is
  // (now) mounted.
  virtual bool mountSysfs() = 0;

  // mknod(path, S_IFCHR | 0777, makedev(major, minor)) and chmod(path, 0777),
  // so the mode does not depend on the process umask. 0 or -errno.
  virtual int makeNode(const std::string& path, unsigned major, unsigned minor) = 0;

  // open(path, flags | O_CLOEXEC); flags is O_RDWR or O_RDONLY. The
  // descriptor or -errno.
  virtual int openNode(const std::string& path, int flags) = 0;

  // close(fd). Urbs still pending on the node are cancelled and forgotten.
  // 0 or -errno.
  virtual int closeNode(int fd) = 0;

  // read(fd, buffer, size): the node file is the 18-byte device descriptor
  // followed by every configuration descriptor set (wTotalLength bytes each).
  // Bytes read or -errno.
  virtual ssize_t readNode(int fd, void* buffer, size_t size) = 0;

  // lseek(fd, offset, whence). The new offset or -errno.
  virtual off_t seekNode(int fd, off_t offset, int whence) = 0;

  // ioctl(fd, USBDEVFS_CONTROL, &transfer): a synchronous control transfer;
  // transfer.timeout is in milliseconds. Bytes transferred or -errno
  // (-EPIPE for a stall, -ETIMEDOUT, -ENODEV).
  virtual int control(int fd, usbdevfs_ctrltransfer& transfer) = 0;

  // ioctl(fd, USBDEVFS_SETCONFIGURATION, &value). 0 or -errno.
  virtual int setConfiguration(int fd, unsigned value) = 0;

  // ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface). 0 or -errno (-EBUSY when
  // another descriptor or a kernel driver holds it).
  virtual int claimInterface(int fd, unsigned interface) = 0;

  // ioctl(fd, USBDEVFS_RELEASEINTERFACE, &interface). 0 or -errno.
  virtual int releaseInterface(int fd, unsigned interface) = 0;

  // ioctl(fd, USBDEVFS_SETINTERFACE, &{interface, alternate}). 0 or -errno.
  virtual int setInterface(int fd, unsigned interface, unsigned alternate) = 0;

  // ioctl(fd, USBDEVFS_CLEAR_HALT, &endpoint); endpoint with its direction
  // bit (0x81). 0 or -errno.
  virtual int clearHalt(int fd, unsigned endpoint) = 0;

  // ioctl(fd, USBDEVFS_RESET, nullptr). 0 or -errno.
  virtual int reset(int fd) = 0;

  // ioctl(fd, 0x551A, nullptr): the appliance kernel's own usbfs request
  // (_IO('U', 26)); kernels without it answer -ENOTTY. 0 or -errno.
  virtual int request551A(int fd) = 0;

  // ioctl(fd, USBDEVFS_SUBMITURB, urb). 0 or -errno (-ENOMEM beyond the
  // usbfs memory limit, -ENODEV when the device is gone).
  virtual int submitUrb(int fd, usbdevfs_urb* urb) = 0;

  // ioctl(fd, USBDEVFS_REAPURBNDELAY, &completed): one completed urb into
  // *completed. 0, -EAGAIN when none is waiting, -ENODEV when the device is
  // gone and nothing is left to reap.
  virtual int reapUrbNoDelay(int fd, usbdevfs_urb** completed) = 0;

  // ioctl(fd, USBDEVFS_DISCARDURB, urb). 0 (the urb will complete with
  // -ECONNRESET) or -errno (-EINVAL when it is not pending).
  virtual int discardUrb(int fd, usbdevfs_urb* urb) = 0;

  // The epoll events a node reports while a completion waits to be reaped
  // or the device is gone (usbfs: EPOLLOUT | EPOLLHUP).
  virtual uint32_t nodePollEvents() const = 0;
};
