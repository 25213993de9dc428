// Reading the USB descriptors a client needs, through tunnelled
// GET_DESCRIPTOR requests, and finding a bulk-only mass-storage interface in
// a configuration.
#pragma once

#include <cstdint>
#include <span>

#include "tools/usbclient/usb_client.h"

namespace usbclient {

struct BulkOnlyInterface {
  uint8_t configValue = 0;
  uint8_t interfaceNumber = 0;
  uint8_t alternateSetting = 0;
  uint8_t inEndpoint = 0;
  uint8_t outEndpoint = 0;
  uint16_t maxPacket = 0;
};

// Walks a configuration descriptor set (device-controlled bytes: every
// length is checked). True when an interface of class 8, subclass 6 (SCSI),
// protocol 0x50 (bulk-only) with a bulk IN and a bulk OUT endpoint is found.
bool findBulkOnlyInterface(std::span<const uint8_t> config, BulkOnlyInterface& out);

// GET_DESCRIPTOR(device) into `out` (18 bytes). 0, a negative ClientError,
// or 1 when the server refused (status in `status`).
int fetchDeviceDescriptor(UsbClient& client, DeviceRef d, Bytes& out, Status& status);
// GET_DESCRIPTOR(configuration, index): the header first, then wTotalLength.
int fetchConfigDescriptor(UsbClient& client, DeviceRef d, uint8_t index, Bytes& out, Status& status);

}  // namespace usbclient
