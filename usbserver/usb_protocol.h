#pragma once
// The framing of the USB server protocol: request and reply headers, event
// messages and device-list entries. Every integer of the framing is
// big-endian; descriptor and transfer bytes pass unchanged.
#include <cstddef>
#include <cstdint>

#include "usbserver/usb_status.h"

enum UsbCommand : uint32_t {
  USB_CMD_VERSION = 1,
  USB_CMD_DEVLIST_OLD = 2,
  USB_CMD_CLAIM_PROBE = 4,
  USB_CMD_RELEASE_IF = 5,
  USB_CMD_DISCONNECT = 6,
  USB_CMD_URB = 8,
  USB_CMD_DISCARD_URB = 9,
  USB_CMD_ABORT_EP = 11,
  USB_CMD_CLEAR_HALT = 12,
  USB_CMD_RESET = 13,
  USB_CMD_KEEPALIVE = 16,
  USB_CMD_SET_CONFIG = 21,
  USB_CMD_PORT_TAGS = 22,
  USB_CMD_CONNECTED_MASK = 23,
  USB_CMD_SYS_NAME = 24,
  USB_CMD_CONNECT = 25,
  USB_CMD_PORT_STATUS = 26,
  USB_CMD_VERSION2 = 27,
  USB_CMD_DEVLIST = 29,
};

enum UsbEvent : uint32_t {
  USB_EVT_DEVICE_GONE = 0x11,
  USB_EVT_ADMIN_DISCONNECT = 0x13,
};

inline constexpr uint32_t kReplyBase = 0x1000;
inline constexpr uint32_t kPartialCompletion = 0x101C;
inline constexpr size_t kRequestHeaderSize = 16;
inline constexpr size_t kReplyHeaderSize = 24;
inline constexpr size_t kEventSize = 18;
inline constexpr size_t kDeviceListEntrySize = 22;

uint32_t loadBe32(const uint8_t* p);
void storeBe32(uint8_t* p, uint32_t value);
void storeBe16(uint8_t* p, uint16_t value);

struct RequestHeader {
  uint32_t word0 = 0;  // ISO packet count (24 bits) and the echo byte
  uint32_t command = 0;
  uint32_t tag = 0;
  uint32_t length = 0;

  static RequestHeader parse(const uint8_t bytes[kRequestHeaderSize]);
  uint8_t echo() const { return static_cast<uint8_t>(word0 & 0xFF); }
  uint32_t isoPackets() const { return word0 >> 8; }
};

// The 24-byte reply header: echo word, 0x1000 + code, tag, payload length,
// status class and code.
void encodeReplyHeader(uint8_t out[kReplyHeaderSize], uint32_t echoWord, uint32_t replyCode,
                       uint32_t tag, uint32_t length, UsbResult result);

// The 18-byte event message for the device (index, port).
void encodeEvent(uint8_t out[kEventSize], UsbEvent event, int index, int port);

// The 22-byte device-list entry: index, port, speed code, 0 and the device
// descriptor with bcdUSB, idVendor, idProduct and bcdDevice big-endian.
void encodeDeviceListEntry(uint8_t out[kDeviceListEntrySize], int index, int port, int speedCode,
                           const uint8_t deviceDescriptor[18]);
