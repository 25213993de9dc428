#pragma once
// One entry of the USB device table: a device found on the appliance's ports,
// with the descriptors and strings cached at plug-in, its open usbfs node
// while a client uses it, its owner and its transfer records.
//
// Locking: `mutex` guards the node, the owner, the watch serial, the caches
// and the transfer list during compound changes. `state` is atomic so that
// readers outside the entry mutex see whole values; identity fields change
// only while the table lock is held (plug-in and reset), so readers that hold
// the table lock see them consistent. The table lock is never taken while an
// entry's mutex is held.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "usbserver/urb_record.h"
#include "usbserver/usb_device_identity.h"
#include "usbserver/usb_string_cache.h"

class UsbClient;

enum UsbDeviceState : int {
  USB_DEV_ABSENT = 0,
  USB_DEV_GONE = 1,
  USB_DEV_PRESENT = 2,
  USB_DEV_CONNECTED = 3,
};

// A configuration descriptor (9 bytes) and the numbers of its interfaces with
// alternate setting 0, in descriptor order.
struct UsbConfigRecord {
  static constexpr int kMaxInterfaces = 64;
  uint8_t descriptor[9]{};
  int interfaceCount = 0;
  uint8_t interfaces[kMaxInterfaces]{};

  int value() const { return descriptor[5]; }  // bConfigurationValue
};

// Endpoint counters by transfer type (bmAttributes & 3).
enum UsbTransferType : int { USB_XFER_CONTROL = 0, USB_XFER_ISO = 1, USB_XFER_BULK = 2, USB_XFER_INT = 3 };

class UsbDevice {
 public:
  UsbDevice() { resetFields(); }
  UsbDevice(const UsbDevice&) = delete;
  UsbDevice& operator=(const UsbDevice&) = delete;

  // The initial state (absent, empty caches, no node). Caller holds `mutex`
  // and has closed the node and ended the transfers.
  void resetFields();

  bool inUse() const {
    int s = state.load();
    return s == USB_DEV_PRESENT || s == USB_DEV_CONNECTED;
  }
  int configurationCount() const { return deviceDescriptor[17]; }

  std::atomic<int> state{USB_DEV_ABSENT};
  bool unconfirmed = false;
  uint32_t goneTick = 0;
  UsbDeviceIdentity id;
  int node = -1;
  std::atomic<bool> cleanupFlag{false};
  std::mutex mutex;
  bool languageKnown = false;
  uint16_t language = 0;
  uint8_t deviceDescriptor[18]{};
  int currentConfiguration = -1;
  std::vector<UsbConfigRecord> configurations;
  UsbStringCache strings;
  uint8_t endpointsIn[4]{};
  uint8_t endpointsOut[4]{};
  int configurationsParsed = 0;
  int interfacesParsed = 0;
  bool video = false;
  // The watch of the open node while connected: the front end's device
  // record carries the serial it was created with; a record whose serial is
  // no longer the entry's belongs to an earlier connection.
  uint32_t watchSerial = 0;
  bool watched = false;
  UsbClient* owner = nullptr;
  std::list<std::unique_ptr<UrbRecord>> transfers;
};
