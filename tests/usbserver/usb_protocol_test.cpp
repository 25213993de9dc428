#include "usbserver/usb_protocol.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> bytes(const uint8_t* p, size_t n) { return {p, p + n}; }

TEST(UsbProtocol, RequestHeaderIsBigEndian) {
  const uint8_t raw[16] = {0, 0, 3, 0x7E, 0, 0, 0, 29, 0x12, 0x34, 0x56, 0x78, 0, 0, 0, 16};
  const RequestHeader h = RequestHeader::parse(raw);
  EXPECT_EQ(h.command, uint32_t(USB_CMD_DEVLIST));
  EXPECT_EQ(h.tag, 0x12345678u);
  EXPECT_EQ(h.length, 16u);
  EXPECT_EQ(h.echo(), 0x7E);
  EXPECT_EQ(h.isoPackets(), 3u);
}

TEST(UsbProtocol, ReplyHeaderGoldenBytes) {
  uint8_t out[kReplyHeaderSize];
  encodeReplyHeader(out, 0x7E, kReplyBase + USB_CMD_VERSION2, 0xA1B2C3D4, 8, UsbResult::denied(13));
  const std::vector<uint8_t> expected = {0, 0, 0, 0x7E, 0, 0, 0x10, 0x1B, 0xA1, 0xB2, 0xC3, 0xD4,
                                         0, 0, 0, 8,    0, 0, 0,    5,    0,    0,    0,    13};
  EXPECT_EQ(bytes(out, sizeof out), expected);
  encodeReplyHeader(out, 0, kReplyBase + USB_CMD_URB, 1, 0, UsbResult::error(-32));
  EXPECT_EQ(bytes(out + 16, 8), (std::vector<uint8_t>{0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xE0}));
}

TEST(UsbProtocol, EventGoldenBytes) {
  uint8_t out[kEventSize];
  encodeEvent(out, USB_EVT_DEVICE_GONE, 4, 2);
  const std::vector<uint8_t> expected = {0, 0, 0, 1, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0, 2, 4, 2};
  EXPECT_EQ(bytes(out, sizeof out), expected);
}

TEST(UsbProtocol, DeviceListEntryTurnsTheFourWordsBigEndian) {
  const uint8_t descriptor[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x81, 0x07, 0x67, 0x55,
                                  0x00, 0x01, 1, 2, 3, 1};
  uint8_t out[kDeviceListEntrySize];
  encodeDeviceListEntry(out, 3, 2, 3, descriptor);
  const std::vector<uint8_t> expected = {3, 2, 3, 0, 18, 1, 0x02, 0x00, 0, 0, 0, 64,
                                         0x07, 0x81, 0x55, 0x67, 0x01, 0x00, 1, 2, 3, 1};
  EXPECT_EQ(bytes(out, sizeof out), expected);
}

}  // namespace
