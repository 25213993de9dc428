#include "usbserver/usb_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "usbserver/usb_device.h"
#include "usbserver/usb_platform.h"
#include "usbserver/usb_quirks.h"

namespace {

constexpr int kMaxConfigurations = 32;
constexpr unsigned kStringTimeoutMs = 1000;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kDeviceToHost = 0x80;
constexpr uint8_t kMicrosoftOsString = 0xEE;

// Reads exactly n bytes; false on a short read.
bool readExact(UsbPlatform& platform, int fd, void* buffer, size_t n) {
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < n) {
    ssize_t r = platform.readNode(fd, p + done, n - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool skip(UsbPlatform& platform, int fd, size_t n) {
  if (n == 0) return true;
  return platform.seekNode(fd, static_cast<off_t>(n), SEEK_CUR) >= 0;
}

// Reads min(bodyLength, size) bytes of a descriptor body into `body` (the
// rest of `body` zeroed) and skips the remainder.
bool readBody(UsbPlatform& platform, int fd, size_t bodyLength, uint8_t* body, size_t size) {
  std::memset(body, 0, size);
  size_t take = bodyLength < size ? bodyLength : size;
  if (!readExact(platform, fd, body, take)) return false;
  return skip(platform, fd, bodyLength - take);
}

// Walks the configuration strings at plug-in; a device that lets one string
// request time out is asked for no further strings, so a broken device
// cannot hold the scan for minutes.
struct StringFetch {
  UsbPlatform& platform;
  UsbDevice& entry;
  bool timedOut = false;

  void fetch(uint8_t index) {
    if (timedOut || index == 0 || index > 127) return;
    uint8_t buffer[255];
    int r = getStringDescriptor(platform, entry, entry.node, deviceLanguage(platform, entry, entry.node),
                                index, buffer, sizeof buffer);
    if (r == -ETIMEDOUT) timedOut = true;
  }
};

void countEndpoint(UsbDevice& entry, uint8_t address, uint8_t attributes) {
  uint8_t* counts = (address & 0x80) ? entry.endpointsIn : entry.endpointsOut;
  uint8_t& count = counts[attributes & 3];
  if (count < 255) ++count;
}

}  // namespace

int usbControlTransfer(UsbPlatform& platform, int node, uint8_t request, uint8_t requestType,
                       uint16_t value, uint16_t index, uint8_t* buffer, uint16_t length,
                       unsigned timeoutMs) {
  if (buffer && length) std::memset(buffer, 0, length);
  if (node < 0) return -EBADF;
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = requestType;
  transfer.bRequest = request;
  transfer.wValue = value;
  transfer.wIndex = index;
  transfer.wLength = length;
  transfer.timeout = timeoutMs;
  transfer.data = buffer;
  int r = platform.control(node, transfer);
  if (r > length) return length;
  return r;
}

int getStringDescriptor(UsbPlatform& platform, UsbDevice& entry, int node, uint16_t language,
                        uint8_t index, uint8_t* buffer, uint16_t length) {
  if (index == kMicrosoftOsString &&
      hasUsbQuirk(entry.id.vendorId, entry.id.productId, USB_QUIRK_STRING_EE_REFUSED)) {
    return -1;
  }
  int r = usbControlTransfer(platform, node, kGetDescriptor, kDeviceToHost,
                             static_cast<uint16_t>(0x0300 + index), language, buffer, length, kStringTimeoutMs);
  if (r >= 0 && r <= 254) {
    if (r == buffer[0]) entry.strings.add(language, index, buffer, static_cast<size_t>(r));
    return r;
  }
  entry.strings.add(language, index, nullptr, 0);
  return r < 0 ? r : -1;
}

uint16_t deviceLanguage(UsbPlatform& platform, UsbDevice& entry, int node) {
  if (entry.languageKnown) return entry.language;
  uint8_t buffer[4];
  int r = usbControlTransfer(platform, node, kGetDescriptor, kDeviceToHost, 0x0300, 0, buffer, sizeof buffer,
                             kStringTimeoutMs);
  // A device that cannot tell its language is asked once only.
  entry.languageKnown = true;
  entry.language = (r >= 4 && buffer[0] >= 4) ? static_cast<uint16_t>(buffer[2] | (buffer[3] << 8)) : 0;
  return entry.language;
}

int readStringAscii(UsbPlatform& platform, UsbDevice& entry, uint8_t index, char* buffer, size_t size) {
  if (index == 0 || !buffer || size == 0) return -1;
  bool known = entry.languageKnown;
  uint16_t language = deviceLanguage(platform, entry, entry.node);
  if (!known && language == 0) return -1;
  uint8_t descriptor[255];
  int r;
  if (const UsbStringCache::Entry* cached = entry.strings.find(language, index)) {
    r = static_cast<int>(cached->bytes.size());
    if (r > 0) std::memcpy(descriptor, cached->bytes.data(), cached->bytes.size());
    if (r == 0) return -1;
  } else {
    r = getStringDescriptor(platform, entry, entry.node, language, index, descriptor, sizeof descriptor);
    if (r < 0) return -1;
  }
  int bytes = r < descriptor[0] ? r : descriptor[0];
  size_t count = 0;
  for (int i = 2; i + 1 < bytes && count + 1 < size; i += 2) {
    buffer[count++] = descriptor[i + 1] ? '?' : static_cast<char>(descriptor[i]);
  }
  buffer[count] = '\0';
  return static_cast<int>(count);
}

bool fetchDescriptors(UsbPlatform& platform, UsbDevice& entry) {
  const int fd = entry.node;
  if (fd < 0) return false;
  uint8_t device[18];
  if (!readExact(platform, fd, device, sizeof device) || device[1] != 1) return false;
  std::memcpy(entry.deviceDescriptor, device, sizeof device);
  int count = device[17];
  if (count < 1 || count > kMaxConfigurations) {
    std::printf("%s ERROR, configurations %d > %d\n", "fetchDescriptors", count, kMaxConfigurations);
    return false;
  }
  entry.configurations.assign(static_cast<size_t>(count), UsbConfigRecord{});
  StringFetch strings{platform, entry};

  int remaining = 9;
  int nextConfiguration = 0;
  UsbConfigRecord* current = nullptr;
  for (;;) {
    uint8_t header[2];
    if (!readExact(platform, fd, header, sizeof header) || remaining <= 0) return true;
    const uint8_t length = header[0];
    const uint8_t type = header[1];
    // A descriptor shorter than its own header ends the walk, as the kernel
    // truncates the configuration there; it would otherwise never advance.
    if (length < 2) return true;
    remaining -= length;
    const size_t bodyLength = length - 2u;
    if (type == 2 && length == 9) {
      ++entry.configurationsParsed;
      if (nextConfiguration >= count) return false;
      current = &entry.configurations[static_cast<size_t>(nextConfiguration++)];
      current->descriptor[0] = length;
      current->descriptor[1] = type;
      if (!readExact(platform, fd, current->descriptor + 2, 7)) return false;
      remaining = (current->descriptor[2] | (current->descriptor[3] << 8)) - 9;
      strings.fetch(current->descriptor[6]);
      continue;
    }
    if (type == 4 && length >= 9) {
      ++entry.interfacesParsed;
      uint8_t body[7];
      if (!readBody(platform, fd, bodyLength, body, sizeof body)) return false;
      strings.fetch(body[6]);
      if (body[3] == 14) entry.video = true;
      if (current && body[1] == 0 && current->interfaceCount < UsbConfigRecord::kMaxInterfaces) {
        current->interfaces[current->interfaceCount++] = body[0];
      }
      continue;
    }
    if (type == 5 && (length == 7 || length == 9)) {
      uint8_t body[7];
      if (!readBody(platform, fd, bodyLength, body, sizeof body)) return false;
      countEndpoint(entry, body[0], body[1]);
      continue;
    }
    if (!skip(platform, fd, bodyLength)) return false;
  }
}

int readStringDescriptors(UsbPlatform& platform, UsbDevice& entry) {
  const int node = entry.node;
  uint8_t buffer[255];
  const uint8_t indices[] = {entry.deviceDescriptor[14], entry.deviceDescriptor[15], entry.deviceDescriptor[16]};
  uint16_t language = deviceLanguage(platform, entry, node);
  for (uint8_t index : indices) {
    if (index == 0) continue;
    if (getStringDescriptor(platform, entry, node, language, index, buffer, sizeof buffer) == -ETIMEDOUT) {
      return 1;
    }
  }
  if (entry.id.versionMajor >= 2 &&
      !hasUsbQuirk(entry.id.vendorId, entry.id.productId, USB_QUIRK_NO_STRING_EE_AT_PLUG_IN)) {
    // Hosts ask for the OS string with language 0; the cache must hold it
    // under the key they use, since it is answered from the cache only.
    getStringDescriptor(platform, entry, node, 0, kMicrosoftOsString, buffer, sizeof buffer);
  }
  return 1;
}
