#include "usbserver/usb_device_table.h"

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "usbserver/usb_client.h"
#include "usbserver/usb_clock.h"
#include "usbserver/usb_descriptors.h"
#include "usbserver/usb_device_events.h"
#include "usbserver/usb_ids.h"
#include "usbserver/usb_platform.h"
#include "usbserver/usb_quirks.h"
#include "usbserver/usb_sysfs.h"

namespace {

constexpr int64_t kScanBusyWaitTicks = 20;
constexpr int kHubClass = 9;
constexpr int kHidClass = 3;

// mkdir with an explicit mode: the process umask is never changed, so the
// mode is set with chmod afterwards.
bool makeOpenDirectory(const std::string& path) {
  struct stat st {};
  if (path.empty()) return false;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  // Missing parents (a root directory without /dev) are made as well.
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !makeOpenDirectory(path.substr(0, slash))) return false;
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return false;
  return ::chmod(path.c_str(), 0777) == 0;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

int globError(const char* path, int error) {
  std::fprintf(stderr, "%s: %s: %s\n", "enumerateUsbDevices", path, std::strerror(error));
  return 0;
}

// The paths matching `pattern`, in glob order.
std::vector<std::string> globPaths(const std::string& pattern, bool reportErrors) {
  std::vector<std::string> paths;
  glob_t found{};
  if (::glob(pattern.c_str(), reportErrors ? 0 : GLOB_NOSORT, reportErrors ? globError : nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  }
  ::globfree(&found);
  return paths;
}

bool hasHidInterface(const std::string& devicePath) {
  for (const std::string& interface : globPaths(devicePath + ":*", false)) {
    if (readSysfsNumber(interface, "bInterfaceClass", 16) == kHidClass) return true;
  }
  return false;
}

bool sameDevice(const UsbDeviceIdentity& a, const UsbDeviceIdentity& b) {
  return a.bus == b.bus && a.hubLevel == b.hubLevel && a.parent == b.parent && a.portPathHash == b.portPathHash &&
         a.versionMajor == b.versionMajor && a.versionMinor == b.versionMinor && a.deviceClass == b.deviceClass &&
         a.deviceSubClass == b.deviceSubClass && a.vendorId == b.vendorId && a.productId == b.productId &&
         a.releaseHigh == b.releaseHigh && a.releaseLow == b.releaseLow;
}

int copyText(const std::string& text, char* buffer, size_t size) {
  if (text.size() + 1 > size) {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return static_cast<int>(text.size());
}

int formatInto(char* buffer, size_t size, const char* format, int value) {
  if (size == 0) return 0;
  int n = std::snprintf(buffer, size, format, value);
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1);
}

}  // namespace

UsbDeviceTable::UsbDeviceTable(UsbPlatform& platform, UsbClock& clock, UsbDeviceEvents& events,
                               const UsbDiscoverySettings& settings, UsbLayout portMap, UsbLayout tableLayout,
                               std::string usbIdsPath)
    : platform_(platform),
      clock_(clock),
      events_(events),
      settings_(settings),
      portMap_(portMap),
      size_(usbLayoutSize(tableLayout).tableSize),
      hubLevelLimit_(usbLayoutSize(tableLayout).hubLevelLimit),
      usbIdsPath_(std::move(usbIdsPath)) {
  mountSysfs();
}

UsbDeviceTable::~UsbDeviceTable() {
  for (int i = 0; i < kCapacity; ++i) resetEntry(i);
}

bool UsbDeviceTable::mountSysfs() {
  bool mounted = platform_.mountSysfs();
  const std::string nodes = platform_.devBusUsbDir();
  bool directories = makeOpenDirectory(parentOf(nodes)) && makeOpenDirectory(nodes);
  return mounted && directories;
}

std::string UsbDeviceTable::nodePath(const UsbDeviceIdentity& device) const {
  char name[32];
  std::snprintf(name, sizeof name, "/%03d/%03d", device.bus, device.deviceNumber);
  return platform_.devBusUsbDir() + name;
}

bool UsbDeviceTable::makeDeviceNode(const UsbDeviceIdentity& device) {
  char bus[16];
  std::snprintf(bus, sizeof bus, "/%03d", device.bus);
  if (!makeOpenDirectory(platform_.devBusUsbDir() + bus)) return false;
  const std::string node = nodePath(device);
  struct stat st {};
  if (::stat(node.c_str(), &st) == 0) return true;
  return platform_.makeNode(node, static_cast<unsigned>(device.nodeMajor), static_cast<unsigned>(device.nodeMinor)) ==
         0;
}

bool UsbDeviceTable::isValidEntry(int index, int port) {
  if (!isTableIndex(index)) return false;
  UsbDevice& e = entries_[index];
  std::lock_guard<std::mutex> lock(e.mutex);
  return e.inUse() && e.id.port == port;
}

int UsbDeviceTable::openDevice(UsbDevice& entry, int flags, int* slot) {
  if (!slot && entry.node >= 0) return -EBUSY;
  int fd = platform_.openNode(nodePath(entry.id), flags);
  if (fd < 0) return fd;
  if (slot) {
    *slot = fd;
  } else {
    entry.node = fd;
  }
  return fd;
}

bool UsbDeviceTable::closeDevice(UsbDevice& entry) {
  if (entry.node < 0) return false;
  platform_.closeNode(entry.node);
  entry.node = -1;
  // The kernel has forgotten every transfer of the node.
  for (auto& record : entry.transfers) {
    for (UrbPartData& part : record->parts) part.inFlight = false;
    record->inFlight = 0;
  }
  return true;
}

void UsbDeviceTable::markGone(UsbDevice& entry) {
  entry.goneTick = static_cast<uint32_t>(clock_.now());
  entry.state.store(USB_DEV_GONE);
}

void UsbDeviceTable::deviceVanished(int index) {
  if (!isTableIndex(index)) return;
  UsbDevice& e = entries_[index];
  if (!e.inUse()) return;
  events_.onUsbDeviceRemoved(index);
  for (;;) {
    dropOwner(index);
    std::lock_guard<std::mutex> lock(e.mutex);
    // A client may have connected the entry between the two steps.
    if (e.state.load() != USB_DEV_CONNECTED) {
      markGone(e);
      return;
    }
  }
}

bool UsbDeviceTable::dropOwner(int index) {
  if (!isTableIndex(index)) return false;
  UsbDevice& e = entries_[index];
  UsbClient* owner = nullptr;
  int port = 0;
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    if (e.state.load() != USB_DEV_CONNECTED) return false;
    closeDevice(e);
    // With the node closed the kernel holds no part of them any more, and
    // nobody will answer or reap them: the records go now, not with the
    // entry's next owner or reset.
    e.transfers.clear();
    owner = e.owner;
    port = e.id.port;
    e.owner = nullptr;
    e.watched = false;
    ++e.watchSerial;
    e.state.store(USB_DEV_PRESENT);
    // Told under the entry's mutex: a client gives its devices back entry by
    // entry under the same mutex before it goes, so it still exists here.
    if (owner) owner->deviceTaken(index, port);
  }
  events_.onUsbDeviceDisconnected(index);
  return true;
}

UsbResult UsbDeviceTable::takeDevice(int index, UsbClient& client, uint32_t& watchSerial,
                                     const std::function<void(int node, uint32_t serial)>& opened) {
  if (!isTableIndex(index)) return UsbResult::error(19);
  UsbDevice& e = entries_[index];
  int r;
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    if (!e.inUse()) return UsbResult::error(19);
    if (e.node >= 0) return UsbResult::error(71);
    r = openDevice(e, O_RDWR);
    if (r >= 0) {
      e.watched = true;
      watchSerial = ++e.watchSerial;
      e.owner = &client;
      e.state.store(USB_DEV_CONNECTED);
      // A clean-up asked for the previous client's use ends with it; the
      // new client was told of nothing and keeps its device.
      e.cleanupFlag = false;
      if (opened) opened(e.node, watchSerial);
      return UsbResult::ok();
    }
  }
  deviceVanished(index);
  return UsbResult::error(-r);
}

bool UsbDeviceTable::releaseDevice(int index, const UsbClient* onlyFor, const UsbClient* requester) {
  if (!isTableIndex(index)) return false;
  UsbDevice& e = entries_[index];
  std::lock_guard<std::mutex> lock(e.mutex);
  if (onlyFor && e.owner != onlyFor) return false;
  // Another client's release takes the device from its owner, whose
  // transfers end unanswered with the node: the owner is told.
  if (requester && e.owner && e.owner != requester && e.state.load() == USB_DEV_CONNECTED) {
    e.owner->deviceTaken(index, e.id.port);
  }
  const bool connected = e.state.load() == USB_DEV_CONNECTED && e.node >= 0;
  closeDevice(e);
  e.transfers.clear();
  e.owner = nullptr;
  e.watched = false;
  ++e.watchSerial;
  if (e.state.load() == USB_DEV_CONNECTED) e.state.store(USB_DEV_PRESENT);
  return connected;
}

void UsbDeviceTable::resetEntryLocked(UsbDevice& e) {
  closeDevice(e);
  e.resetFields();
}

void UsbDeviceTable::resetEntry(int index) {
  if (index < 0 || index >= kCapacity) return;
  UsbDevice& e = entries_[index];
  std::lock_guard<std::mutex> table(tableMutex_);
  std::lock_guard<std::mutex> lock(e.mutex);
  resetEntryLocked(e);
}

bool UsbDeviceTable::matchUsbDevice(UsbDevice& e, const UsbDeviceIdentity& scanned) {
  std::lock_guard<std::mutex> table(tableMutex_);
  std::lock_guard<std::mutex> lock(e.mutex);
  if (!sameDevice(e.id, scanned)) return false;
  if (e.id.deviceNumber != scanned.deviceNumber) {
    // Near the root a new device number means the device was unplugged and
    // plugged again; behind deeper hubs it may be a hub's re-enumeration.
    if (e.id.hubLevel <= hubLevelLimit_) return false;
    e.id.deviceNumber = scanned.deviceNumber;
    e.id.nodeMajor = scanned.nodeMajor;
    e.id.nodeMinor = scanned.nodeMinor;
  }
  e.unconfirmed = false;
  return true;
}

int UsbDeviceTable::addUsbDevice(const UsbDeviceIdentity& scanned) {
  int free = -1;
  for (int i = 0; i < size_; ++i) {
    UsbDevice& e = entries_[i];
    if (e.state.load() == USB_DEV_ABSENT) {
      if (free < 0) free = i;
    } else if (e.inUse() && matchUsbDevice(e, scanned)) {
      return 0;
    }
  }
  if (free < 0) return -1;
  UsbDevice& e = entries_[free];
  {
    // The entry stays absent (invisible to readers) until its descriptors
    // are cached, so no client ever sees it half filled.
    std::lock_guard<std::mutex> table(tableMutex_);
    std::lock_guard<std::mutex> lock(e.mutex);
    e.resetFields();
    e.id = scanned;
  }
  bool readable;
  {
    std::lock_guard<std::mutex> lock(e.mutex);
    readable = openDevice(e, O_RDWR) >= 0 && fetchDescriptors(platform_, e);
    if (readable) readStringDescriptors(platform_, e);
    closeDevice(e);
  }
  if (!readable) {
    resetEntry(free);
    return -1;
  }
  if (e.id.manufacturer.empty() || e.id.product.empty()) {
    UsbIdNames names = lookupUsbIdNames(usbIdsPath_, e.id.vendorId, e.id.productId);
    std::lock_guard<std::mutex> table(tableMutex_);
    if (!names.manufacturer.empty()) e.id.manufacturer = names.manufacturer;
    if (!names.product.empty()) e.id.product = names.product;
  }
  {
    std::lock_guard<std::mutex> table(tableMutex_);
    std::lock_guard<std::mutex> lock(e.mutex);
    if (hasUsbQuirk(e.id.vendorId, e.id.productId, USB_QUIRK_FIRST_CONFIG_AT_PLUG_IN) && !e.configurations.empty()) {
      e.currentConfiguration = 0;
    }
    e.unconfirmed = false;
    e.state.store(USB_DEV_PRESENT);
  }
  events_.onUsbDevicePlugged(free);
  return 1;
}

int UsbDeviceTable::enumerateUsbDevices() {
  const bool hid = settings_.listHidDevices();
  int added = 0;
  for (const std::string& path : globPaths(platform_.sysfsDevicesDir() + "/[1-9]*", true)) {
    size_t slash = path.find_last_of('/');
    if (path.find(':', slash == std::string::npos ? 0 : slash) != std::string::npos) continue;
    UsbDeviceIdentity scanned;
    scanned.deviceClass = readSysfsNumber(path, "bDeviceClass", 16);
    scanned.deviceSubClass = readSysfsNumber(path, "bDeviceSubClass", 16);
    if (scanned.deviceClass == kHubClass && scanned.deviceSubClass == 0) continue;
    if (!hid && (scanned.deviceClass == kHidClass || hasHidInterface(path))) continue;
    if (!readSysfsDevice(path, portMap_, scanned)) continue;
    if (!makeDeviceNode(scanned)) continue;
    if (addUsbDevice(scanned) == 1) ++added;
  }
  return added;
}

int UsbDeviceTable::scanUsbDevices() {
  std::unique_lock<std::mutex> scan(scanMutex_, std::try_to_lock);
  if (!scan.owns_lock()) {
    do {
      clock_.wait(kScanBusyWaitTicks);
    } while (!scan.try_lock());
    return 0;
  }
  const uint32_t now = static_cast<uint32_t>(clock_.now());
  for (int i = 0; i < size_; ++i) {
    UsbDevice& e = entries_[i];
    if (e.state.load() == USB_DEV_GONE && now - e.goneTick >= kGoneHoldTicks) resetEntry(i);
  }
  for (int i = 0; i < size_; ++i) {
    UsbDevice& e = entries_[i];
    std::lock_guard<std::mutex> lock(e.mutex);
    if (e.inUse()) e.unconfirmed = true;
  }
  int added = enumerateUsbDevices();
  for (int i = 0; i < size_; ++i) {
    UsbDevice& e = entries_[i];
    bool vanished;
    {
      std::lock_guard<std::mutex> lock(e.mutex);
      vanished = e.inUse() && e.unconfirmed;
    }
    if (vanished) deviceVanished(i);
  }
  return added;
}

int UsbDeviceTable::ownerAddress(int index, uint8_t* out, size_t size) {
  if (!isTableIndex(index) || size <= 8) return 0;
  UsbDevice& e = entries_[index];
  std::lock_guard<std::mutex> lock(e.mutex);
  uint8_t address[4];
  if (e.state.load() != USB_DEV_CONNECTED || !e.owner || !e.owner->peerIpv4(address)) return 0;
  const uint8_t block[9] = {3, 4, 0, 0, 0, address[0], address[1], address[2], address[3]};
  std::memcpy(out, block, sizeof block);
  return 9;
}

int UsbDeviceTable::usbDeviceInfo(int index, int field, char* buffer, size_t size) {
  if (!buffer || size == 0) return -1;
  std::lock_guard<std::mutex> table(tableMutex_);
  if (!isTableIndex(index) || !entries_[index].inUse()) return -1;
  UsbDevice& e = entries_[index];
  switch (field) {
    case 1: return copyText(e.id.manufacturer, buffer, size);
    case 2: return copyText(e.id.product, buffer, size);
    case 3: return copyText(e.id.serial, buffer, size);
    case 4: {
      uint8_t block[9];
      if (ownerAddress(index, block, sizeof block) != 9) return copyText("----", buffer, size);
      int n = std::snprintf(buffer, size, "%03d.%03d.%03d.%03d", block[5], block[6], block[7], block[8]);
      return n < 0 ? 0 : (static_cast<size_t>(n) < size ? n : static_cast<int>(size - 1));
    }
    case 5: return copyText(e.state.load() == USB_DEV_CONNECTED ? "1" : "", buffer, size);
    case 6: return formatInto(buffer, size, "0x%04X", e.id.productId);
    case 7: return formatInto(buffer, size, "0x%04X", e.id.vendorId);
    default: return copyText("id err !!", buffer, size);
  }
}
