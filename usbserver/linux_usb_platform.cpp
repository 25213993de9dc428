#include "usbserver/linux_usb_platform.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "core/paths.h"

namespace {

// The appliance kernel's extra usbfs request; it takes no argument.
constexpr unsigned long kRequest551A = 0x551A;

int failure() { return errno > 0 ? -errno : -EIO; }

int result(int rc) { return rc < 0 ? failure() : rc; }

// No request is repeated on EINTR: a control transfer or a submission that
// reached the device must not be issued twice.
int usbfsRequest(int fd, unsigned long request, void* argument) {
  return result(::ioctl(fd, request, argument));
}

// The mount point field of a /proc/mounts line ("none /sys sysfs rw 0 0").
std::string mountPointOf(const std::string& line) {
  size_t start = line.find(' ');
  if (start == std::string::npos) return {};
  ++start;
  size_t end = line.find(' ', start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

std::string LinuxUsbPlatform::sysfsDevicesDir() const { return sysPath("/sys/bus/usb/devices"); }

std::string LinuxUsbPlatform::devBusUsbDir() const { return sysPath("/dev/bus/usb"); }

bool LinuxUsbPlatform::mountSysfs() {
  const std::string target = sysPath("/sys");
  std::ifstream mounts("/proc/mounts");
  std::string line;
  while (std::getline(mounts, line)) {
    if (mountPointOf(line) == (target.empty() ? "/" : target)) return true;
  }
  return ::mount("none", target.c_str(), "sysfs", 0, nullptr) == 0;
}

int LinuxUsbPlatform::makeNode(const std::string& path, unsigned major, unsigned minor) {
  if (::mknod(path.c_str(), S_IFCHR | 0777, makedev(major, minor)) < 0) return failure();
  return result(::chmod(path.c_str(), 0777));
}

int LinuxUsbPlatform::openNode(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return result(fd);
}

int LinuxUsbPlatform::closeNode(int fd) { return result(::close(fd)); }

ssize_t LinuxUsbPlatform::readNode(int fd, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? failure() : n;
}

off_t LinuxUsbPlatform::seekNode(int fd, off_t offset, int whence) {
  off_t position = ::lseek(fd, offset, whence);
  return position < 0 ? failure() : position;
}

int LinuxUsbPlatform::control(int fd, usbdevfs_ctrltransfer& transfer) {
  return usbfsRequest(fd, USBDEVFS_CONTROL, &transfer);
}

int LinuxUsbPlatform::setConfiguration(int fd, unsigned value) {
  return usbfsRequest(fd, USBDEVFS_SETCONFIGURATION, &value);
}

int LinuxUsbPlatform::claimInterface(int fd, unsigned interface) {
  return usbfsRequest(fd, USBDEVFS_CLAIMINTERFACE, &interface);
}

int LinuxUsbPlatform::releaseInterface(int fd, unsigned interface) {
  return usbfsRequest(fd, USBDEVFS_RELEASEINTERFACE, &interface);
}

int LinuxUsbPlatform::setInterface(int fd, unsigned interface, unsigned alternate) {
  usbdevfs_setinterface setting{};
  setting.interface = interface;
  setting.altsetting = alternate;
  return usbfsRequest(fd, USBDEVFS_SETINTERFACE, &setting);
}

int LinuxUsbPlatform::clearHalt(int fd, unsigned endpoint) {
  return usbfsRequest(fd, USBDEVFS_CLEAR_HALT, &endpoint);
}

int LinuxUsbPlatform::reset(int fd) { return usbfsRequest(fd, USBDEVFS_RESET, nullptr); }

int LinuxUsbPlatform::request551A(int fd) { return usbfsRequest(fd, kRequest551A, nullptr); }

int LinuxUsbPlatform::submitUrb(int fd, usbdevfs_urb* urb) {
  return usbfsRequest(fd, USBDEVFS_SUBMITURB, urb);
}

int LinuxUsbPlatform::reapUrbNoDelay(int fd, usbdevfs_urb** completed) {
  return usbfsRequest(fd, USBDEVFS_REAPURBNDELAY, completed);
}

int LinuxUsbPlatform::discardUrb(int fd, usbdevfs_urb* urb) {
  return usbfsRequest(fd, USBDEVFS_DISCARDURB, urb);
}

uint32_t LinuxUsbPlatform::nodePollEvents() const { return EPOLLOUT | EPOLLHUP; }
