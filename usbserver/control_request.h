#pragma once
// Tunnelled control transfers: the descriptor requests a client makes are
// answered from the caches of plug-in, SET_INTERFACE and CLEAR_FEATURE map
// onto usbfs requests, and everything else goes to the device as one
// synchronous control transfer on the owner's node.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "usbserver/urb_request.h"

class UsbClient;
class UsbDeviceTable;

struct ControlOutcome {
  UsbResult result = UsbResult::denied(12);
  std::unique_ptr<uint8_t[]> in;  // IN data to send after the reply header
  size_t inLength = 0;
  bool endConnection = false;  // the OUT data did not arrive in full
};

class ControlRequests {
 public:
  // Largest data stage of a control transfer (wLength is 16 bits).
  static constexpr uint32_t kDataLimit = 65535;
  static constexpr uint32_t kSetupSize = 8;
  static constexpr unsigned kTimeoutMs = 1000;

  explicit ControlRequests(UsbDeviceTable& table) : table_(table) {}

  // processCtrlReq: a control transfer on a valid (index, port) pair.
  // `portAdmitted`: the port passed the key proof and VLAN binding of the
  // client's last device list; a client that does not own the device may
  // only read descriptors and ask vendor IN requests of an admitted port.
  ControlOutcome processCtrlReq(UsbClient& client, const UrbRequest& request, UrbDataSource& data,
                                bool portAdmitted);

 private:
  UsbDeviceTable& table_;
};
