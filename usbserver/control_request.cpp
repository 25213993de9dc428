#include "usbserver/control_request.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "usbserver/usb_client.h"
#include "usbserver/usb_descriptors.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_platform.h"
#include "usbserver/usb_quirks.h"

namespace {

constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kSetInterface = 11;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kDescriptorDevice = 1;
constexpr uint8_t kDescriptorConfiguration = 2;
constexpr uint8_t kDescriptorString = 3;
constexpr uint8_t kLastFetchableString = 0xED;

struct Setup {
  uint8_t requestType;
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint16_t length;
};

// The setup packet as it comes over the wire: its 16-bit fields big-endian.
Setup parseSetup(const uint8_t* p) {
  return {p[0], p[1], static_cast<uint16_t>((p[2] << 8) | p[3]), static_cast<uint16_t>((p[4] << 8) | p[5]),
          static_cast<uint16_t>((p[6] << 8) | p[7])};
}

int positiveError(int r) { return r < 0 ? -r : (r == 0 ? 5 : r); }

bool readExact(UsbPlatform& platform, int fd, uint8_t* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t r = platform.readNode(fd, buffer + done, n - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// RAII for a node opened for one request.
class RequestNode {
 public:
  explicit RequestNode(UsbPlatform& platform) : platform_(platform) {}
  ~RequestNode() {
    if (fd_ >= 0) platform_.closeNode(fd_);
  }
  int* slot() { return &fd_; }
  int fd() const { return fd_; }

 private:
  UsbPlatform& platform_;
  int fd_ = -1;
};

// One control request being served, under its entry's mutex.
struct ControlContext {
  UsbDeviceTable& table;
  UsbPlatform& platform;
  UsbDevice& entry;
  const UrbRequest& request;
  Setup setup;
  const uint8_t* outData;
  size_t outDataLength;
  bool owned;
  ControlOutcome& out;
  bool vanished = false;

  void answer(UsbResult result, size_t length) {
    out.result = result;
    out.inLength = std::min<size_t>(length, request.inLength);
  }
  // Opens the node for this request; a failure answers with its error and
  // notes that the device may be gone.
  bool open(RequestNode& node, int flags) {
    int r = table.openDevice(entry, flags, node.slot());
    if (r >= 0) return true;
    answer(UsbResult::error(positiveError(r)), 0);
    vanished = true;
    return false;
  }
};

void vendorIn(ControlContext& c) {
  // Opened for reading and writing: usbfs refuses every request on a node
  // opened read-only.
  RequestNode node(c.platform);
  if (!c.open(node, O_RDWR)) return;
  uint16_t length = static_cast<uint16_t>(std::min<uint32_t>(c.setup.length, c.request.inLength));
  int r = usbControlTransfer(c.platform, node.fd(), c.setup.request, c.setup.requestType, c.setup.value,
                             c.setup.index, c.out.in.get(), length, ControlRequests::kTimeoutMs);
  c.answer(r < 0 ? UsbResult::error(positiveError(r)) : UsbResult::ok(), r < 0 ? 0 : static_cast<size_t>(r));
}

void deviceDescriptor(ControlContext& c) {
  size_t n = std::min<size_t>(c.request.inLength, sizeof c.entry.deviceDescriptor);
  if (n) std::memcpy(c.out.in.get(), c.entry.deviceDescriptor, n);
  c.answer(UsbResult::ok(), n);
}

// The configuration descriptor `index` read from the node file; every
// length read from the node is checked before it is used.
void configurationDescriptor(ControlContext& c, uint8_t index) {
  RequestNode node(c.platform);
  if (!c.open(node, O_RDONLY)) return;
  const int fd = node.fd();
  uint8_t header[9];
  bool ok = readExact(c.platform, fd, header, 1) && header[0] >= 1 && c.platform.seekNode(fd, header[0], SEEK_SET) >= 0;
  for (int k = 0; ok && k < index; ++k) {
    ok = readExact(c.platform, fd, header, 9);
    int total = ok ? (header[2] | (header[3] << 8)) : 0;
    ok = ok && total >= 9 && c.platform.seekNode(fd, total - 9, SEEK_CUR) >= 0;
  }
  if (!ok || !readExact(c.platform, fd, header, 9)) {
    c.answer(UsbResult::denied(12), 0);
    return;
  }
  const size_t total = header[2] | (header[3] << 8);
  if (c.request.inLength <= 9) {
    std::memcpy(c.out.in.get(), header, c.request.inLength);
    c.answer(UsbResult::ok(), c.request.inLength);
    return;
  }
  const size_t n = std::max<size_t>(9, std::min<size_t>(c.request.inLength, total));
  std::memcpy(c.out.in.get(), header, 9);
  if (!readExact(c.platform, fd, c.out.in.get() + 9, n - 9)) {
    c.answer(UsbResult::denied(12), 0);
    return;
  }
  c.answer(UsbResult::ok(), n);
}

void stringDescriptor(ControlContext& c, uint8_t index) {
  const uint16_t language = c.setup.index;
  int r = -1;
  uint8_t descriptor[255];
  if (const UsbStringCache::Entry* cached = c.entry.strings.find(language, index)) {
    r = static_cast<int>(cached->bytes.size());
    if (r > 0) std::memcpy(descriptor, cached->bytes.data(), cached->bytes.size());
  } else if (index <= kLastFetchableString) {
    RequestNode node(c.platform);
    int fd = c.entry.node;
    if (!c.owned || fd < 0) {
      if (!c.open(node, O_RDWR)) return;
      fd = node.fd();
    }
    // Always the whole descriptor, so that the cache holds it complete.
    r = getStringDescriptor(c.platform, c.entry, fd, language, index, descriptor, sizeof descriptor);
  }
  if (r > 0) {
    size_t n = std::min<size_t>(static_cast<size_t>(r), c.request.inLength);
    if (n) std::memcpy(c.out.in.get(), descriptor, n);
    c.answer(UsbResult::ok(), n);
  } else if (index <= kLastFetchableString && c.request.inLength >= 2) {
    c.out.in[0] = 2;
    c.out.in[1] = kDescriptorString;
    c.answer(UsbResult::ok(), 2);
  } else {
    c.answer(UsbResult::denied(3), 0);
  }
}

// The request as it stands, on the owner's node.
void tunnel(ControlContext& c) {
  if (!c.owned) {
    c.answer(UsbResult::denied(12), 0);
    return;
  }
  if (c.entry.node < 0) {
    c.answer(UsbResult::error(71), 0);
    return;
  }
  const bool in = (c.setup.requestType & 0x80) != 0;
  // The transfer never exceeds the buffers it uses: wLength is cut to the
  // IN length or to the OUT data the client sent.
  const uint16_t length = static_cast<uint16_t>(
      std::min<size_t>(c.setup.length, in ? static_cast<size_t>(c.request.inLength) : c.outDataLength));
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = c.setup.requestType;
  transfer.bRequest = c.setup.request;
  transfer.wValue = c.setup.value;
  transfer.wIndex = c.setup.index;
  transfer.wLength = length;
  transfer.timeout = ControlRequests::kTimeoutMs;
  transfer.data = length ? (in ? c.out.in.get() : const_cast<uint8_t*>(c.outData)) : nullptr;
  const int vendor = c.entry.id.vendorId;
  const int product = c.entry.id.productId;
  int r = c.platform.control(c.entry.node, transfer);
  if (r < 0) {
    c.answer(UsbResult::error(positiveError(r)), 0);
    if (r == -ETIMEDOUT && hasUsbQuirk(vendor, product, USB_QUIRK_RESET_ON_CONTROL_TIMEOUT)) {
      c.platform.reset(c.entry.node);
    }
    return;
  }
  if (r > length) r = length;
  c.answer(UsbResult::ok(), in ? static_cast<size_t>(r) : 0);
  const uint8_t index = c.setup.value & 0xff;
  if (in && c.setup.requestType == 0x80 && c.setup.request == kGetDescriptor &&
      (c.setup.value >> 8) == kDescriptorConfiguration && r >= 9 && index < c.entry.configurations.size() &&
      hasUsbQuirk(vendor, product, USB_QUIRK_CONFIG_DESCRIPTORS_FROM_DEVICE)) {
    std::memcpy(c.entry.configurations[index].descriptor, c.out.in.get(), 9);
  }
}

void getDescriptor(ControlContext& c) {
  const uint8_t type = c.setup.value >> 8;
  const uint8_t index = c.setup.value & 0xff;
  switch (type) {
    case kDescriptorDevice:
      deviceDescriptor(c);
      return;
    case kDescriptorConfiguration:
      // Only configurations the device has and the list holds exist.
      if (index >= c.entry.configurationCount() || index >= c.entry.configurations.size()) {
        c.answer(UsbResult::error(53), 0);
      } else if (index > 0 &&
                 hasUsbQuirk(c.entry.id.vendorId, c.entry.id.productId, USB_QUIRK_CONFIG_DESCRIPTORS_FROM_DEVICE)) {
        tunnel(c);
      } else {
        configurationDescriptor(c, index);
      }
      return;
    case kDescriptorString:
      stringDescriptor(c, index);
      return;
    default:
      tunnel(c);
  }
}

void serve(ControlContext& c, bool portAdmitted) {
  const Setup& s = c.setup;
  if (!c.owned && !portAdmitted) {
    c.answer(UsbResult::denied(12), 0);
  } else if (c.owned && s.requestType == 0x01 && s.request == kSetInterface) {
    if (c.entry.node < 0) {
      c.answer(UsbResult::error(71), 0);
    } else {
      c.answer(c.platform.setInterface(c.entry.node, s.index, s.value) < 0 ? UsbResult::denied(53) : UsbResult::ok(), 0);
    }
  } else if (c.owned && s.requestType == 0x02 && s.request == kClearFeature) {
    if (c.entry.node < 0) {
      c.answer(UsbResult::error(71), 0);
    } else {
      c.answer(c.platform.clearHalt(c.entry.node, s.index) < 0 ? UsbResult::denied(53) : UsbResult::ok(), 0);
    }
  } else if (!c.owned && s.requestType == 0xC0 && s.request == 1) {
    vendorIn(c);
  } else if (s.requestType == 0x80 && s.request == kGetDescriptor) {
    getDescriptor(c);
  } else {
    tunnel(c);
  }
}

}  // namespace

ControlOutcome ControlRequests::processCtrlReq(UsbClient& client, const UrbRequest& request, UrbDataSource& data,
                                               bool portAdmitted) {
  ControlOutcome out;
  // Sizes come from the client: they are bounded before anything is
  // allocated, and a request too short to hold its setup packet is refused.
  if (request.outLength < kSetupSize || request.outLength > kSetupSize + kDataLimit ||
      request.inLength > kDataLimit) {
    out.result = UsbResult::error(71);
    if (!data.drain(request.outLength)) out.endConnection = true;
    return out;
  }
  std::unique_ptr<uint8_t[]> outBuffer(new (std::nothrow) uint8_t[request.outLength]);
  if (!outBuffer) {
    std::fprintf(stderr, "%s mem fault size:%d!?\n", "processCtrlReq", static_cast<int>(request.outLength));
    out.result = UsbResult::error(71);
    if (!data.drain(request.outLength)) out.endConnection = true;
    return out;
  }
  if (request.inLength) {
    out.in.reset(new (std::nothrow) uint8_t[request.inLength]());
    if (!out.in) {
      std::fprintf(stderr, "%s mem indata fault size:%d!?\n", "processCtrlReq", static_cast<int>(request.inLength));
      out.result = UsbResult::error(71);
      if (!data.drain(request.outLength)) out.endConnection = true;
      return out;
    }
  }
  if (!data.read(outBuffer.get(), request.outLength)) {
    out.in.reset();
    out.result = UsbResult::error(71);
    out.endConnection = true;
    return out;
  }
  if (!table_.isValidEntry(request.index, request.port)) {
    out.in.reset();
    out.result = UsbResult::error(19);
    return out;
  }
  UsbDevice& e = table_.entry(request.index);
  bool vanished;
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    ControlContext c{table_, table_.platform(), e, request, parseSetup(outBuffer.get()),
                     outBuffer.get() + kSetupSize, request.outLength - kSetupSize,
                     e.state.load() == USB_DEV_CONNECTED && e.owner == &client, out};
    serve(c, portAdmitted);
    vanished = c.vanished;
  }
  if (vanished) table_.deviceVanished(request.index);
  if (out.inLength == 0) out.in.reset();
  return out;
}
