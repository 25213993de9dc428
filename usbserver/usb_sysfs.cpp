#include "usbserver/usb_sysfs.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "usbserver/usb_quirks.h"

namespace {

constexpr size_t kAttributeLimit = 64;

// Reads at most kAttributeLimit bytes of an attribute file; false when it
// cannot be opened.
bool readAttribute(const std::string& path, const char* attribute, std::string& out) {
  std::string file = path + "/" + attribute;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[kAttributeLimit];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n < 0) return false;
  out.assign(buffer, static_cast<size_t>(n));
  return true;
}

int decimalAt(std::string_view text, size_t i) {
  int value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    if (value < 100000) value = value * 10 + (text[i] - '0');
    ++i;
  }
  return value;
}

}  // namespace

int readSysfsNumber(const std::string& path, const char* attribute, int base) {
  std::string text;
  if (!readAttribute(path, attribute, text)) return 0;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  long value = std::strtol(text.c_str(), nullptr, base);
  if (value < 0 || value > 0x7fffffff) return 0;
  return static_cast<int>(value);
}

std::string readSysfsText(const std::string& path, const char* attribute) {
  std::string text;
  if (!readAttribute(path, attribute, text)) return {};
  size_t newline = text.find('\n');
  if (newline != std::string::npos) text.resize(newline);
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  if (text.size() > UsbDeviceIdentity::kTextLimit) text.resize(UsbDeviceIdentity::kTextLimit);
  return text;
}

int usbSpeedCode(std::string_view speed) {
  if (speed.size() > 1 && speed[1] == '.') return 1;
  if (speed == "10000" || speed == "20000") return 5;  // SuperSpeed+
  if (speed.empty()) return 2;
  switch (speed[0]) {
    case '1': return 2;
    case '4': return 3;
    case '5': return 5;
    default: return 2;
  }
}

int portPathHash(std::string_view devpath) {
  if (devpath.size() > 64) devpath = devpath.substr(0, 64);
  unsigned hash = 0;
  for (size_t i = 0; i < devpath.size(); ++i) {
    if (devpath[i] == '.') {
      hash <<= 4;
    } else {
      hash ^= static_cast<unsigned>(decimalAt(devpath, i));
    }
  }
  return static_cast<int>(hash);
}

bool readSysfsDevice(const std::string& path, UsbLayout portMap, UsbDeviceIdentity& id) {
  id.bus = readSysfsNumber(path, "busnum", 10);
  id.deviceNumber = readSysfsNumber(path, "devnum", 10);
  id.maxPower = readSysfsNumber(path, "bMaxPower", 10);
  int bcdDevice = readSysfsNumber(path, "bcdDevice", 16);
  id.productId = readSysfsNumber(path, "idProduct", 16);
  id.vendorId = readSysfsNumber(path, "idVendor", 16);
  if (hasUsbQuirk(id.vendorId, id.productId, USB_QUIRK_NOT_TABLED)) return false;

  std::string dev = readSysfsText(path, "dev");
  id.product = readSysfsText(path, "product");
  id.serial = readSysfsText(path, "serial");
  std::string speed = readSysfsText(path, "speed");
  std::string version = readSysfsText(path, "version");
  std::string devpath = readSysfsText(path, "devpath");
  id.manufacturer = readSysfsText(path, "manufacturer");

  if (std::sscanf(dev.c_str(), "%d:%d", &id.nodeMajor, &id.nodeMinor) != 2) return false;
  if (id.nodeMajor < 0 || id.nodeMinor < 0) return false;
  id.speed = usbSpeedCode(speed);
  int port = devpathToSlot(portMap, id.bus, devpath);
  if (port < 0) return false;
  id.port = port;

  id.hubLevel = 1;
  for (char c : devpath) id.hubLevel += c == '.';
  id.parent = -1;
  id.portPathHash = portPathHash(devpath);
  id.versionMajor = id.versionMinor = 0;
  std::sscanf(version.c_str(), "%d.%02d", &id.versionMajor, &id.versionMinor);
  id.releaseHigh = (bcdDevice >> 8) & 0xff;
  id.releaseLow = bcdDevice & 0xff;
  return true;
}
