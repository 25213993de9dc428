// Golden bytes of every request the client sends, and the reading of the
// reply it gets back.
#include <gtest/gtest.h>

#include <functional>

#include "tests/tools/scripted_transport.h"
#include "tools/usbclient/usb_client.h"

using namespace usbclient;
using namespace usbclient_test;

namespace {

struct RequestCase {
  const char* name;
  std::function<int(UsbClient&)> call;
  const char* request;  // hex
  Bytes reply;
  std::function<void(UsbClient&)> check = [](UsbClient&) {};
};

// Shared results the check functions look at.
Status gStatus;
UrbResult gUrb;
VersionInfo gVersion;
std::vector<DeviceEntry> gDevices;
std::vector<PortTag> gTags;
PortStatus gPortStatus;
uint32_t gMask;
std::string gName;

const DeviceRef kDev{0, 1};

std::vector<RequestCase> cases() {
  return {
      {"version2 with a chosen tag",
       [](UsbClient& c) { return c.version(0x12345678, true, gVersion, gStatus); },
       "00000000 0000001b 12345678 00000000",
       replyFrame(0, 0x101B, 0x12345678, 0, 0, hex("0007 0000 0091 0028")),
       [](UsbClient& c) {
         EXPECT_EQ(gVersion.major, 7);
         EXPECT_EQ(gVersion.minor, 0);
         EXPECT_EQ(gVersion.build, 145);
         EXPECT_EQ(gVersion.tableSize, 40);
         EXPECT_EQ(c.nonce(), 0x12345678u);
       }},
      {"old version request",
       [](UsbClient& c) { return c.version(0xfedcba98, false, gVersion, gStatus); },
       "00000000 00000001 fedcba98 00000000",
       replyFrame(0, 0x1001, 0xfedcba98, 3, 3, hex("0007 0000 0091")),
       [](UsbClient& c) {
         EXPECT_EQ(gStatus.statusClass, 3u);
         EXPECT_EQ(gStatus.code, 3);
         EXPECT_EQ(gVersion.build, 145);
         EXPECT_FALSE(gVersion.tableSize.has_value());
         EXPECT_EQ(c.nonce(), 0xfedcba98u);
       }},
      {"device list without proofs",
       [](UsbClient& c) { return c.deviceList(Bytes{}, gDevices, gStatus); },
       "00000000 0000001d 00000001 00000000",
       replyFrame(0, 0x101D, 1, 0, 0,
                  hex("01 0016  03 02 03 00  12 01 0200 00 00 00 40 0781 5567 0100 01 02 03 01")),
       [](UsbClient&) {
         ASSERT_EQ(gDevices.size(), 1u);
         EXPECT_EQ(gDevices[0].device, (DeviceRef{3, 2}));
         EXPECT_EQ(gDevices[0].vendorId(), 0x0781);
         EXPECT_EQ(gDevices[0].productId(), 0x5567);
       }},
      {"connect with a client name",
       [](UsbClient& c) { return c.connect({3, 2}, "host", gStatus); },
       "00000000 00000019 00000001 00000022 03 02 686f7374"
       "00000000 00000000 00000000 00000000 00000000 00000000 00000000",
       replyFrame(0, 0x1019, 1, 5, 13),
       [](UsbClient&) {
         EXPECT_EQ(gStatus.statusClass, 5u);
         EXPECT_EQ(gStatus.code, 13);
       }},
      {"disconnect", [](UsbClient& c) { return c.disconnect({3, 2}, gStatus); },
       "00000000 00000006 00000001 00000002 0302", replyFrame(0, 0x1006, 1, 0, 0)},
      {"set configuration with interface settings",
       [](UsbClient& c) {
         InterfaceSetting s[] = {{0, 1}, {2, 0}};
         return c.setConfiguration(kDev, 1, s, gStatus);
       },
       "00000000 00000015 00000001 00000008 00 01 01 02 0001 0200",
       replyFrame(0, 0x1015, 1, 3, 53),
       [](UsbClient&) { EXPECT_EQ(gStatus.code, 53); }},
      {"set configuration 0 sends no pairs",
       [](UsbClient& c) {
         InterfaceSetting s[] = {{0, 1}};
         return c.setConfiguration(kDev, 0, s, gStatus);
       },
       "00000000 00000015 00000001 00000004 00 01 00 00", replyFrame(0, 0x1015, 1, 0, 0)},
      {"claim probe", [](UsbClient& c) { return c.claimProbe(kDev, 2, gStatus); },
       "00000000 00000004 00000001 00000003 000102", replyFrame(0, 0x1004, 1, 3, 16),
       [](UsbClient&) { EXPECT_EQ(gStatus.code, 16); }},
      {"release interface", [](UsbClient& c) { return c.releaseInterface(kDev, 2, gStatus); },
       "00000000 00000005 00000001 00000003 000102", replyFrame(0, 0x1005, 1, 0, 0)},
      {"abort endpoint", [](UsbClient& c) { return c.abortEndpoint(kDev, 0x81, gStatus); },
       "00000000 0000000b 00000001 00000003 000181", replyFrame(0, 0x100B, 1, 0, 0)},
      {"clear halt", [](UsbClient& c) { return c.clearHalt(kDev, 0x02, gStatus); },
       "00000000 0000000c 00000001 00000003 000102", replyFrame(0, 0x100C, 1, 3, 19),
       [](UsbClient&) { EXPECT_EQ(gStatus.code, 19); }},
      {"reset", [](UsbClient& c) { return c.resetDevice(kDev, gStatus); },
       "00000000 0000000d 00000001 00000002 0001", replyFrame(0, 0x100D, 1, 0, 0)},
      {"keep-alive", [](UsbClient& c) { return c.keepAlive(0xdeadbeef, gStatus); },
       "00000000 00000010 00000001 00000004 deadbeef",
       replyFrame(0, 0x1010, 1, 0, 0, hex("deadbeef"))},
      {"port tags", [](UsbClient& c) { return c.portTags(gTags, gStatus); },
       "00000000 00000016 00000001 00000000",
       replyFrame(0, 0x1016, 1, 0, 0, hex("02 61 00 05 62 63 00 00")),
       [](UsbClient&) {
         ASSERT_EQ(gTags.size(), 2u);
         EXPECT_EQ(gTags[0].port, 2);
         EXPECT_EQ(gTags[0].text, "a");
         EXPECT_EQ(gTags[1].port, 5);
         EXPECT_EQ(gTags[1].text, "bc");
       }},
      {"connected mask", [](UsbClient& c) { return c.connectedMask(gMask, gStatus); },
       "00000000 00000017 00000001 00000000", replyFrame(0, 0x1017, 1, 0, 0, hex("00000009")),
       [](UsbClient&) { EXPECT_EQ(gMask, 9u); }},
      {"system name", [](UsbClient& c) { return c.sysName(gName, gStatus); },
       "00000000 00000018 00000001 00000000", replyFrame(0, 0x1018, 1, 0, 0, hex("6c6162")),
       [](UsbClient&) { EXPECT_EQ(gName, "lab"); }},
      {"port status", [](UsbClient& c) { return c.portStatus({4, 3}, gPortStatus, gStatus); },
       "00000000 0000001a 00000001 00000002 0403",
       replyFrame(0, 0x101A, 1, 0, 0, hex("00000003 03 04 00 00 00 c0 a8 00 07 686f737420")),
       [](UsbClient&) {
         EXPECT_EQ(gPortStatus.status, 3u);
         EXPECT_EQ(gPortStatus.ownerIpv4, 0xc0a80007u);
         EXPECT_EQ(gPortStatus.ownerName, "host ");
       }},
      {"control IN: GET_DESCRIPTOR(device) with a big-endian setup packet",
       [](UsbClient& c) {
         SetupPacket s{0x80, 6, 0x0100, 0x0000, 0x0012};
         return c.control(kDev, s, {}, 18, gUrb);
       },
       "00000000 00000008 00000001 00000014 00 01 00 02 00000012 00000008 80 06 0100 0000 0012",
       replyFrame(0, 0x1008, 1, 0, 0, hex("12 01 0002 00 00 00 40 8107 6755 0001 01 02 03 01")),
       [](UsbClient&) {
         EXPECT_TRUE(gUrb.status.ok());
         EXPECT_EQ(gUrb.data.size(), 18u);
       }},
      {"control OUT with data",
       [](UsbClient& c) {
         SetupPacket s{0x21, 9, 0x0200, 0x0001, 0x0001};
         Bytes data{0x01};
         return c.control(kDev, s, data, 0, gUrb);
       },
       "00000000 00000008 00000001 00000015 00 01 00 02 00000000 00000009 21 09 0200 0001 0001 01",
       replyFrame(0, 0x1008, 1, 3, -32),
       [](UsbClient&) {
         EXPECT_EQ(gUrb.status.statusClass, 3u);
         EXPECT_EQ(gUrb.status.code, -32);
       }},
      {"bulk OUT",
       [](UsbClient& c) {
         UrbRequest u{kDev, 0x02, TransferType::Bulk, 0, 4};
         return c.transfer(u, hex("cafebabe"), gUrb);
       },
       "00000000 00000008 00000001 00000010 00 01 02 03 00000000 00000004 cafebabe",
       replyFrame(0, 0x1008, 1, 0, 0)},
      {"bulk IN",
       [](UsbClient& c) {
         UrbRequest u{kDev, 0x81, TransferType::Bulk, 512, 0};
         return c.transfer(u, {}, gUrb);
       },
       "00000000 00000008 00000001 0000000c 00 01 81 03 00000200 00000000",
       replyFrame(0, 0x1008, 1, 0, 0, hex("55534253")),
       [](UsbClient&) { EXPECT_EQ(gUrb.data, hex("55534253")); }},
      {"interrupt IN",
       [](UsbClient& c) {
         UrbRequest u{kDev, 0x81, TransferType::Interrupt, 8, 0};
         return c.transfer(u, {}, gUrb);
       },
       "00000000 00000008 00000001 0000000c 00 01 81 01 00000008 00000000",
       replyFrame(0, 0x1008, 1, 0, 0, hex("0000040000000000"))},
      {"discard names the transfer by its tag",
       [](UsbClient& c) { return c.discard(0x00000007, gStatus); },
       "00000000 00000009 00000001 00000004 00000007", replyFrame(0, 0x1009, 1, 0, 0)},
      {"echo byte is carried in every header",
       [](UsbClient& c) {
         c.setEcho(0x5a);
         return c.resetDevice(kDev, gStatus);
       },
       "0000005a 0000000d 00000001 00000002 0001", replyFrame(0x5a, 0x100D, 1, 0, 0)},
  };
}

class RequestGolden : public ::testing::TestWithParam<size_t> {};

TEST_P(RequestGolden, SendsExactBytesAndReadsReply) {
  const RequestCase c = cases()[GetParam()];
  SCOPED_TRACE(c.name);
  auto streams = std::make_shared<ScriptedStreams>();
  streams->incoming.push_back(c.reply);
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  ASSERT_EQ(c.call(client), 0);
  EXPECT_EQ(toHex(streams->written), toHex(hex(c.request)));
  EXPECT_TRUE(streams->incoming.empty());
  c.check(client);
}

INSTANTIATE_TEST_SUITE_P(UsbClient, RequestGolden, ::testing::Range<size_t>(0, cases().size()));

TEST(UsbClientRequests, TagsIncreaseAndRepliesMatchTheirTag) {
  auto streams = std::make_shared<ScriptedStreams>();
  streams->incoming.push_back(replyFrame(0, 0x100D, 1, 0, 0));
  streams->incoming.push_back(replyFrame(0, 0x100D, 2, 3, 19));
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  Status a, b;
  ASSERT_EQ(client.resetDevice(kDev, a), 0);
  ASSERT_EQ(client.resetDevice(kDev, b), 0);
  EXPECT_TRUE(a.ok());
  EXPECT_EQ(b.code, 19);
  EXPECT_EQ(toHex(streams->written), toHex(hex("00000000 0000000d 00000001 00000002 0001"
                                              "00000000 0000000d 00000002 00000002 0001")));
}

TEST(UsbClientRequests, PipelinedTransfersCollectPartialCompletionsPerTag) {
  auto streams = std::make_shared<ScriptedStreams>();
  // Two IN transfers on different endpoints; their completions interleave
  // with an event.
  streams->incoming.push_back(replyFrame(0, 0x101C, 1, 0, 0, hex("0102")) +
                              replyFrame(0, 0x1008, 2, 0, 0, hex("aa")) +
                              eventFrame(0x13, 0, 1) +
                              replyFrame(0, 0x1008, 1, 0, 0, hex("03")));
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  uint32_t t1 = 0, t2 = 0;
  ASSERT_EQ(client.submit({kDev, 0x81, TransferType::Bulk, 4, 0}, {}, t1), 0);
  ASSERT_EQ(client.submit({kDev, 0x83, TransferType::Bulk, 4, 0}, {}, t2), 0);
  UrbResult r2, r1;
  ASSERT_EQ(client.await(t2, r2), 0);
  EXPECT_EQ(r2.data, hex("aa"));
  ASSERT_EQ(client.await(t1, r1), 0);
  EXPECT_EQ(r1.data, hex("010203"));
  EXPECT_EQ(r1.parts, 2u);
  Event e;
  ASSERT_TRUE(client.takeEvent(e));
  EXPECT_EQ(e.code, 0x13u);
  EXPECT_EQ(e.device, kDev);
}

TEST(UsbClientRequests, RawBytesGoOutUnchangedAndMessagesComeBackInOrder) {
  auto streams = std::make_shared<ScriptedStreams>();
  streams->incoming.push_back(eventFrame(0x13, 2, 3) + replyFrame(7, 0x1007, 9, 0, 0));
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  Bytes cut = hex("00000007 00000007 00000009");  // a header that stops short
  ASSERT_EQ(client.sendRaw(cut), 0);
  EXPECT_EQ(streams->written, cut);
  Message m;
  ASSERT_EQ(client.receive(m, 100), 0);
  EXPECT_EQ(std::get<Event>(m).device, (DeviceRef{2, 3}));
  ASSERT_EQ(client.receive(m, 100), 0);
  EXPECT_EQ(std::get<Reply>(m).echoWord, 7u);
  EXPECT_EQ(client.receive(m, 100), kTimeout);
}

TEST(UsbClientRequests, RefusedProofBlockDoesNotSendAnything) {
  auto streams = std::make_shared<ScriptedStreams>();
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  std::vector<PortKey> keys(21, PortKey{1, "k"});
  std::vector<DeviceEntry> list;
  Status s;
  EXPECT_EQ(client.deviceList(ProofForm::Crypt, keys, list, s), kProtocolError);
  EXPECT_TRUE(streams->written.empty());
}

TEST(UsbClientRequests, ClosedConnectionFailsEveryLaterRequest) {
  auto streams = std::make_shared<ScriptedStreams>();
  streams->incoming.push_back(hex("00000000 00001010 00000001"));  // reply cut short
  streams->closeWhenEmpty = true;
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  Status s;
  EXPECT_EQ(client.keepAlive(1, s), kPeerClosed);
  size_t sent = streams->written.size();
  EXPECT_EQ(client.resetDevice(kDev, s), kPeerClosed);
  EXPECT_EQ(streams->written.size(), sent);
}

TEST(UsbClientRequests, TimeOutKeepsTheConnectionUsable) {
  auto streams = std::make_shared<ScriptedStreams>();
  UsbClient client(std::make_unique<ScriptedTransport>(streams), 1000);
  Status s;
  EXPECT_EQ(client.resetDevice(kDev, s), kTimeout);
  streams->incoming.push_back(replyFrame(0, 0x100D, 1, 0, 0));
  streams->incoming.push_back(replyFrame(0, 0x100D, 2, 0, 0));
  // The late reply of the first request is kept; the second finds its own.
  EXPECT_EQ(client.resetDevice(kDev, s), 0);
  EXPECT_TRUE(s.ok());
}

}  // namespace
