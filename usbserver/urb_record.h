#pragma once
// One tunnelled transfer: the client's request split into usbfs URBs
// ("parts") on the device's node. A record lives in its device entry's
// transfer list and is guarded by the entry's mutex. A part's URB and buffer
// belong to the kernel from its submission until it is reaped or the node is
// closed; a record is destroyed only when none of its parts is in flight or
// after its node was closed.
#include <linux/usbdevice_fs.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "usbserver/usb_status.h"

class UsbClient;

struct UrbState {
  enum : uint32_t {
    Prepared = 0x1,  // queued behind a busy bulk IN record of its endpoint
    Busy = 0x2,      // parts in flight
    Discarded = 0x8,
    Sent = 0x10,  // final completion sent
    Error = 0x10000000,
    Abort = 0x20000000,
  };
};

// The user-space side of one part besides its URB.
struct UrbPartData {
  std::unique_ptr<uint8_t[]> buffer;
  bool inFlight = false;
};

class UrbRecord {
 public:
  UrbRecord();
  ~UrbRecord();
  UrbRecord(const UrbRecord&) = delete;
  UrbRecord& operator=(const UrbRecord&) = delete;

  bool isIn() const { return (endpoint & 0x80) != 0; }
  int partIndexOf(const usbdevfs_urb* urb) const;

  int tableIndex = -1;
  uint8_t endpoint = 0;
  uint8_t type = 0;  // 1 interrupt, 3 bulk
  uint32_t state = 0;
  uint32_t requestWord = 0;  // bytes 0-3 of the request header
  uint32_t tag = 0;          // bytes 8-11 of the request header, as received
  int64_t remaining = 0;
  int partCount = 0;
  int completed = 0;  // parts whose outcome is known
  int discarded = 0;  // parts cancelled
  int inFlight = 0;   // parts the kernel holds
  UsbResult failure;  // the final answer once the record is Error
  UsbClient* client = nullptr;  // who submitted it; receives its completions
  // Allocates partCount zeroed URBs; false when memory is short.
  bool allocateParts(int count);
  // The URBs are handed to the kernel by address, so they never move.
  std::unique_ptr<usbdevfs_urb[]> urbs;
  std::vector<UrbPartData> parts;
};

// Transfer records alive in the process (shown by the status table).
extern std::atomic<int> urbPopulation;
