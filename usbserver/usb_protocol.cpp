#include "usbserver/usb_protocol.h"

#include <cstring>
#include <initializer_list>

uint32_t loadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void storeBe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value >> 24);
  p[1] = static_cast<uint8_t>(value >> 16);
  p[2] = static_cast<uint8_t>(value >> 8);
  p[3] = static_cast<uint8_t>(value);
}

void storeBe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value >> 8);
  p[1] = static_cast<uint8_t>(value);
}

RequestHeader RequestHeader::parse(const uint8_t bytes[kRequestHeaderSize]) {
  RequestHeader header;
  header.word0 = loadBe32(bytes);
  header.command = loadBe32(bytes + 4);
  header.tag = loadBe32(bytes + 8);
  header.length = loadBe32(bytes + 12);
  return header;
}

void encodeReplyHeader(uint8_t out[kReplyHeaderSize], uint32_t echoWord, uint32_t replyCode,
                       uint32_t tag, uint32_t length, UsbResult result) {
  storeBe32(out, echoWord);
  storeBe32(out + 4, replyCode);
  storeBe32(out + 8, tag);
  storeBe32(out + 12, length);
  storeBe32(out + 16, static_cast<uint32_t>(result.status));
  storeBe32(out + 20, static_cast<uint32_t>(result.code));
}

void encodeEvent(uint8_t out[kEventSize], UsbEvent event, int index, int port) {
  storeBe32(out, 1);
  storeBe32(out + 4, event);
  storeBe32(out + 8, 0);
  storeBe32(out + 12, 2);
  out[16] = static_cast<uint8_t>(index);
  out[17] = static_cast<uint8_t>(port);
}

void encodeDeviceListEntry(uint8_t out[kDeviceListEntrySize], int index, int port, int speedCode,
                           const uint8_t d[18]) {
  out[0] = static_cast<uint8_t>(index);
  out[1] = static_cast<uint8_t>(port);
  out[2] = static_cast<uint8_t>(speedCode);
  out[3] = 0;
  std::memcpy(out + 4, d, 18);
  // The four 16-bit fields travel big-endian.
  for (int field : {2, 8, 10, 12}) {
    out[4 + field] = d[field + 1];
    out[4 + field + 1] = d[field];
  }
}
