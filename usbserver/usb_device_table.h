#pragma once
// The table of USB devices on the appliance's ports: discovery from sysfs,
// plug-in, removal and the gone state, the entries' nodes and owners, and
// the read access the web pages, mails and traps use.
//
// Locks, in nesting order: the scan mutex (one scan at a time), the table
// lock (held while an entry changes identity at plug-in or reset, and while
// readers such as the device list and usbDeviceInfo look at entries), then
// one entry's mutex. The table lock is never taken while an entry's mutex is
// held. Device events are raised with no lock held.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "usbserver/usb_device.h"
#include "usbserver/usb_layout.h"
#include "usbserver/usb_status.h"

class UsbClock;
class UsbDeviceEvents;
class UsbPlatform;

// The settings discovery reads at every scan.
class UsbDiscoverySettings {
 public:
  virtual ~UsbDiscoverySettings() = default;
  // wyk_hid: keyboards, mice and other HID devices are offered to clients.
  virtual bool listHidDevices() const = 0;
};

class UsbDeviceTable {
 public:
  static constexpr int kCapacity = 40;
  // A vanished device's entry is kept (gone) at least this long.
  static constexpr int64_t kGoneHoldTicks = 100;

  // portMap selects the devpath-to-port rule, tableLayout the table size and
  // hub-level limit (both from the product identity). Mounts sysfs and
  // creates the node directory when needed.
  UsbDeviceTable(UsbPlatform& platform, UsbClock& clock, UsbDeviceEvents& events,
                 const UsbDiscoverySettings& settings, UsbLayout portMap, UsbLayout tableLayout,
                 std::string usbIdsPath);
  ~UsbDeviceTable();
  UsbDeviceTable(const UsbDeviceTable&) = delete;
  UsbDeviceTable& operator=(const UsbDeviceTable&) = delete;

  int size() const { return size_; }
  int hubLevelLimit() const { return hubLevelLimit_; }
  UsbLayout portMap() const { return portMap_; }
  UsbPlatform& platform() { return platform_; }
  UsbDevice& entry(int index) { return entries_[index]; }

  bool isTableIndex(int index) const { return index >= 0 && index < size_; }
  // A table index whose entry has this port and is present or connected.
  bool isValidEntry(int index, int port);

  // The full scan; the number of devices added. A caller that finds a scan
  // running waits for it to end and returns 0 without scanning again.
  int scanUsbDevices();
  int enumerateUsbDevices();
  // 1 added, 0 already known, -1 no free entry or the device unreadable.
  int addUsbDevice(const UsbDeviceIdentity& scanned);
  // The same device as the entry's (then the entry is confirmed).
  bool matchUsbDevice(UsbDevice& entry, const UsbDeviceIdentity& scanned);
  bool makeDeviceNode(const UsbDeviceIdentity& device);
  bool mountSysfs();
  std::string nodePath(const UsbDeviceIdentity& device) const;

  // open() of the entry's node: the descriptor or -errno. With no slot the
  // descriptor goes into the entry (the caller holds the entry's mutex), and
  // an entry whose node is already open is left alone (-EBUSY).
  int openDevice(UsbDevice& entry, int flags, int* slot = nullptr);
  // Closes the entry's node; the kernel forgets the transfers on it, so its
  // records may be freed afterwards. Caller holds the entry's mutex.
  bool closeDevice(UsbDevice& entry);
  // A node that cannot be opened means the device is gone: the removal event
  // and the gone state follow; a connected device is first taken from its
  // client. Call with no lock held.
  void deviceVanished(int index);

  // Takes a connected device from its client: closes the node, aborts its
  // transfers without completions, raises the disconnect event and tells
  // the owner. False when the entry is not connected.
  bool dropOwner(int index);
  // Lends a present device to `client`: opens its node for reading and
  // writing and makes the entry connected. watchSerial receives the serial
  // the client's device record must carry. The caller has run the access
  // checks and taken the device from a previous owner. Class 3 with the
  // error number when the node cannot be opened (the device is then gone),
  // class 3 code 71 when the node is open already.
  // `opened` runs under the entry's mutex with the new node and serial, so
  // that the client's poll set holds the node before anyone can close it.
  UsbResult takeDevice(int index, UsbClient& client, uint32_t& watchSerial,
                       const std::function<void(int node, uint32_t serial)>& opened = {});
  // Ends a client's use of the entry: closes the node (the kernel forgets
  // its transfers), frees the transfer records and makes the entry present
  // without owner. With onlyFor, nothing happens unless that client owns
  // the entry (it may have been taken over meanwhile). With requester (the
  // client that asked), an owner other than it is told that the device was
  // taken. True when it was connected with its node open.
  bool releaseDevice(int index, const UsbClient* onlyFor = nullptr, const UsbClient* requester = nullptr);

  // Frees the entry's caches and transfer records and makes it absent.
  void resetEntry(int index);

  std::unique_lock<std::mutex> lockUsbTable() { return std::unique_lock<std::mutex>(tableMutex_); }

  // One field of an entry in use as text (1 manufacturer, 2 product, 3
  // serial, 4 owner address, 5 connected, 6 product id, 7 vendor id); the
  // text length, or -1 for an index outside the table or an entry not in use.
  int usbDeviceInfo(int index, int field, char* buffer, size_t size);
  // {3, 4, 0, 0, 0, a, b, c, d} for a connected entry with an IPv4 owner: 9;
  // otherwise 0.
  int ownerAddress(int index, uint8_t* out, size_t size);
  // Rescans, then appends the HTML diagnostics table (device texts escaped).
  void writeUsbStatusTable(std::string& out);

 private:
  void markGone(UsbDevice& entry);
  void resetEntryLocked(UsbDevice& entry);

  UsbPlatform& platform_;
  UsbClock& clock_;
  UsbDeviceEvents& events_;
  const UsbDiscoverySettings& settings_;
  const UsbLayout portMap_;
  const int size_;
  const int hubLevelLimit_;
  const std::string usbIdsPath_;
  std::mutex scanMutex_;
  std::mutex tableMutex_;
  UsbDevice entries_[kCapacity];
};
