// The client's reading of the server's stream: replies and events in any
// split, big-endian fields, and the reply bodies.
#include <gtest/gtest.h>

#include <random>

#include "tests/tools/test_bytes.h"
#include "tools/usbclient/frame_decoder.h"
#include "tools/usbclient/descriptors.h"
#include "tools/usbclient/scsi.h"
#include "tools/usbclient/wire.h"

using namespace usbclient;
using namespace usbclient_test;

namespace {

// A stream holding every message form: a reply with payload, a partial and
// a final completion with a negative status, an event, a header-only reply.
Bytes mixedStream() {
  return replyFrame(0x01020304, 0x1010, 0x0a0b0c0d, 0, 0, hex("deadbeef")) +
         replyFrame(0x00000007, 0x101C, 5, 0, 0, Bytes(300, 0x5a)) +
         eventFrame(0x11, 4, 3) + replyFrame(0x00000007, 0x1008, 5, 3, -71) +
         eventFrame(0x13, 39, 20) + replyFrame(0, 0x1006, 6, 3, 19);
}

void checkMixed(const std::vector<Message>& m) {
  ASSERT_EQ(m.size(), 6u);
  const Reply& keep = std::get<Reply>(m[0]);
  EXPECT_EQ(keep.echoWord, 0x01020304u);
  EXPECT_EQ(keep.command, 0x1010u);
  EXPECT_EQ(keep.tag, 0x0a0b0c0du);
  EXPECT_EQ(keep.payload, hex("deadbeef"));
  const Reply& partial = std::get<Reply>(m[1]);
  EXPECT_EQ(partial.command, kUrbPartial);
  EXPECT_EQ(partial.payload.size(), 300u);
  EXPECT_TRUE(partial.isUrbCompletion());
  const Event& gone = std::get<Event>(m[2]);
  EXPECT_EQ(gone.code, 0x11u);
  EXPECT_EQ(gone.device, (DeviceRef{4, 3}));
  const Reply& final = std::get<Reply>(m[3]);
  EXPECT_EQ(final.command, kUrbFinal);
  EXPECT_EQ(final.statusClass, 3u);
  EXPECT_EQ(final.statusCode, -71);
  EXPECT_TRUE(final.payload.empty());
  EXPECT_EQ(std::get<Event>(m[4]).device, (DeviceRef{39, 20}));
  EXPECT_EQ(std::get<Reply>(m[5]).statusCode, 19);
}

std::vector<Message> decodeInChunks(const Bytes& stream, const std::vector<size_t>& cuts) {
  FrameDecoder d(1 << 20);
  std::vector<Message> out;
  size_t pos = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(stream.size());
  for (size_t end : ends) {
    d.append(stream.data() + pos, end - pos);
    pos = end;
    Message m;
    FrameDecoder::Result r;
    while ((r = d.next(m)) == FrameDecoder::Result::Ready) out.push_back(m);
    EXPECT_EQ(r, FrameDecoder::Result::NeedMore);
  }
  EXPECT_EQ(d.buffered(), 0u);
  return out;
}

TEST(FrameDecoder, WholeStreamAtOnce) { checkMixed(decodeInChunks(mixedStream(), {})); }

TEST(FrameDecoder, OneByteAtATime) {
  Bytes s = mixedStream();
  std::vector<size_t> cuts;
  for (size_t i = 1; i < s.size(); ++i) cuts.push_back(i);
  checkMixed(decodeInChunks(s, cuts));
}

TEST(FrameDecoder, EverySingleSplitPoint) {
  Bytes s = mixedStream();
  for (size_t cut = 1; cut < s.size(); ++cut) {
    SCOPED_TRACE(cut);
    checkMixed(decodeInChunks(s, {cut}));
  }
}

TEST(FrameDecoder, EventIsEighteenBytesEvenWhenAReplyFollowsAtOnce) {
  // The word at offset 4 below 0x1000 marks an event: exactly 2 bytes follow
  // its 16-byte header, and the next header starts right after.
  Bytes s = eventFrame(0x11, 0, 1) + replyFrame(0, 0x1017, 9, 0, 0, hex("00000009"));
  auto m = decodeInChunks(s, {17});
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(std::get<Reply>(m[1]).tag, 9u);
}

TEST(FrameDecoder, RefusesAPayloadAboveTheCap) {
  FrameDecoder d(1024);
  Bytes h = hex("00000000 00001008 00000001 00000401 00000000 00000000");
  d.append(h.data(), h.size());
  Message m;
  EXPECT_EQ(d.next(m), FrameDecoder::Result::Malformed);
}

TEST(FrameDecoder, PayloadAtTheCapIsAccepted) {
  FrameDecoder d(4);
  Bytes h = replyFrame(0, 0x1010, 1, 0, 0, hex("01020304"));
  d.append(h.data(), h.size());
  Message m;
  EXPECT_EQ(d.next(m), FrameDecoder::Result::Ready);
}

TEST(ReplyBodies, VersionWords) {
  VersionInfo v;
  ASSERT_TRUE(parseVersion(hex("0007 0000 0091 0028"), true, v));
  EXPECT_EQ(v.major, 7);
  EXPECT_EQ(v.build, 145);
  EXPECT_EQ(v.tableSize, 40);
  EXPECT_FALSE(parseVersion(hex("0007 0000 0091"), true, v));
  EXPECT_TRUE(parseVersion(hex("0007 0000 0091"), false, v));
}

TEST(ReplyBodies, DeviceListRestoresUsbByteOrder) {
  Bytes body = hex("02 002c"
                   "00 01 03 00 12 01 0200 00 00 00 40 0781 5567 0100 01 02 03 01"
                   "05 14 05 00 12 01 0320 09 00 03 09 1d6b 0003 0515 03 02 01 02");
  std::vector<DeviceEntry> d;
  ASSERT_TRUE(parseDeviceList(body, d));
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].device, (DeviceRef{0, 1}));
  EXPECT_EQ(d[0].speed, 3);
  EXPECT_EQ(toHex(Bytes(d[0].descriptor, d[0].descriptor + 18)),
            "12010002000000408107675500010102" "0301");
  EXPECT_EQ(d[1].device, (DeviceRef{5, 20}));
  EXPECT_EQ(d[1].bcdUsb(), 0x0320);
  EXPECT_EQ(d[1].vendorId(), 0x1d6b);
  EXPECT_EQ(d[1].productId(), 0x0003);
  EXPECT_EQ(d[1].bcdDevice(), 0x0515);
  EXPECT_EQ(d[1].deviceClass(), 9);
  EXPECT_EQ(d[1].configurationCount(), 2);
}

TEST(ReplyBodies, DeviceListLengthsMustAgree) {
  std::vector<DeviceEntry> d;
  EXPECT_TRUE(parseDeviceList(hex("00 0000"), d));
  EXPECT_TRUE(d.empty());
  const char* bad[] = {
      "",                                      // no count
      "01 0016",                               // entry missing
      "01 0015" "00 01 03 00 12 01 0200 00 00 00 40 0781 5567 0100 01 02 03 01",  // wrong word
      "00 0000 00",                            // trailing byte
  };
  for (const char* b : bad) EXPECT_FALSE(parseDeviceList(hex(b), d)) << b;
}

TEST(ReplyBodies, PortTags) {
  std::vector<PortTag> t;
  ASSERT_TRUE(parsePortTags(hex("00"), t));
  EXPECT_TRUE(t.empty());
  EXPECT_FALSE(parsePortTags(hex("02 61"), t));        // no terminator
  EXPECT_FALSE(parsePortTags(hex("02 61 00"), t));     // no closing 0
  EXPECT_FALSE(parsePortTags(hex("02 61 00 00 00"), t));  // bytes after the end
}

TEST(ReplyBodies, PortStatusWithoutOwnerAndMalformedOwner) {
  PortStatus p;
  ASSERT_TRUE(parsePortStatus(hex("00000006"), p));
  EXPECT_EQ(p.status, 6u);
  EXPECT_FALSE(p.ownerIpv4.has_value());
  EXPECT_FALSE(parsePortStatus(hex("000000"), p));
  EXPECT_FALSE(parsePortStatus(hex("00000001 03 04 00 00"), p));
  EXPECT_FALSE(parsePortStatus(hex("00000001 03 06 00 00 00 0a 00 00 01"), p));
  ASSERT_TRUE(parsePortStatus(hex("00000001 03 04 00 00 00 0a 00 00 01"), p));
  EXPECT_EQ(p.ownerIpv4, 0x0a000001u);
  EXPECT_EQ(p.ownerName, "");
}

TEST(ReplyBodies, ConnectedMaskIsBigEndian) {
  uint32_t m = 0;
  ASSERT_TRUE(parseConnectedMask(hex("80000001"), m));
  EXPECT_EQ(m, 0x80000001u);
  EXPECT_FALSE(parseConnectedMask(hex("000001"), m));
}

TEST(RequestEncoding, IsoPacketCountFillsTheTopThreeBytes) {
  RequestHeader h;
  h.isoPackets = 0x123456;
  h.echo = 0x78;
  h.command = Command::Urb;
  h.tag = 0x9abcdef0;
  h.payloadLength = 0x11223344;
  uint8_t out[kRequestHeaderSize];
  encodeRequestHeader(h, out);
  EXPECT_EQ(toHex(Bytes(out, out + 16)), "12345678000000089abcdef011223344");
}

TEST(RequestEncoding, ClientNameIsCutAtThirtyTwoBytes) {
  Bytes p = connectPayload({1, 2}, std::string(40, 'x'));
  ASSERT_EQ(p.size(), 34u);
  EXPECT_EQ(p[33], 'x');
}

// Peer bytes of any shape: the decoder and the body parsers stay inside
// their input (the sanitizers watch) and the decoder always makes progress.
TEST(PeerInputRobustness, RandomStreamsAndBodies) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    Bytes b(rng() % 160);
    for (auto& c : b) c = static_cast<uint8_t>(rng());
    if (b.size() >= 16 && rng() % 2) {
      b[4] = b[5] = 0;
      b[6] = static_cast<uint8_t>(rng() % 2 ? 0x10 : 0x00);  // a reply or an event word
      b[12] = b[13] = b[14] = 0;
    }
    FrameDecoder d(64);
    size_t pos = 0;
    while (pos < b.size()) {
      size_t k = std::min<size_t>(1 + rng() % 20, b.size() - pos);
      d.append(b.data() + pos, k);
      pos += k;
      Message m;
      FrameDecoder::Result r;
      size_t before = d.buffered();
      while ((r = d.next(m)) == FrameDecoder::Result::Ready) {
        ASSERT_LT(d.buffered(), before);
        before = d.buffered();
      }
      if (r == FrameDecoder::Result::Malformed) break;
    }
    VersionInfo v;
    std::vector<DeviceEntry> devices;
    std::vector<PortTag> tags;
    PortStatus ps;
    uint32_t mask;
    Csw csw;
    BulkOnlyInterface bot;
    uint32_t last, size;
    parseVersion(b, true, v);
    parseDeviceList(b, devices);
    parsePortTags(b, tags);
    parsePortStatus(b, ps);
    parseConnectedMask(b, mask);
    parseCsw(b, csw);
    parseReadCapacity10(b, last, size);
    if (b.size() >= 2) b[1] = 2;  // let the walk into the configuration
    findBulkOnlyInterface(b, bot);
  }
}

}  // namespace
