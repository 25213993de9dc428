// The USB server end to end inside a network namespace pair: its tasks
// serve the independent protocol client from the peer namespace against the
// simulated usbfs and its device models, over TCP and TLS.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "core/task_message.h"
#include "core/task_table.h"
#include "params/int_param.h"
#include "params/string_param.h"
#include "tests/support/eventually.h"
#include "tests/usbserver/usb_server_netns.h"
#include "tools/usbclient/wire.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_device_table.h"

using namespace usbclient;
using namespace usbtest;

namespace {

constexpr uint8_t kKeyOut = 0x01;
constexpr uint8_t kKeyIn = 0x82;
constexpr uint8_t kKeyboardIn = 0x81;

Bytes pattern(size_t n, uint8_t seed) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return out;
}

UrbRequest bulk(DeviceRef d, uint8_t endpoint, uint32_t length) {
  UrbRequest urb;
  urb.device = d;
  urb.endpoint = endpoint;
  urb.type = TransferType::Bulk;
  (endpoint & kEndpointIn ? urb.inLength : urb.outLength) = length;
  return urb;
}

class UsbServerLinks : public UsbServerNetns, public ::testing::WithParamInterface<Link> {};

INSTANTIATE_TEST_SUITE_P(Links, UsbServerLinks, ::testing::Values(Link::Tcp, Link::Tls),
                         [](const auto& info) { return std::string(linkName(info.param)); });

TEST_P(UsbServerLinks, AnswersTheRequestsThatNeedNoDevice) {
  parameters_->sys_name->setFromText("lab-server");
  params_.find("wyk_tag_", 2)->setFromText("bc");
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  Status status;
  VersionInfo version;
  ASSERT_EQ(client->version(0x1234, false, version, status), 0);
  EXPECT_EQ(status.statusClass, 3u);
  EXPECT_EQ(status.code, 3);
  EXPECT_EQ(version.major, 7);
  EXPECT_EQ(version.build, 145);
  ASSERT_EQ(client->version(0x5678, true, version, status), 0);
  EXPECT_TRUE(status.ok());
  EXPECT_EQ(version.tableSize, 40);
  std::string name;
  ASSERT_EQ(client->sysName(name, status), 0);
  EXPECT_EQ(name, "lab-server");
  std::vector<PortTag> tags;
  ASSERT_EQ(client->portTags(tags, status), 0);
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_EQ(tags[0].port, 2);
  EXPECT_EQ(tags[0].text, "bc");
  ASSERT_EQ(client->keepAlive(0xA5B6C7D8, status), 0);
  EXPECT_TRUE(status.ok());
  uint32_t mask = 1;
  ASSERT_EQ(client->connectedMask(mask, status), 0);
  EXPECT_EQ(mask, 0u);
  std::vector<DeviceEntry> list;
  ASSERT_EQ(client->deviceList({}, list, status), 0);
  EXPECT_TRUE(list.empty());
  if (GetParam() == Link::Tls) {
    EXPECT_EQ(server_->tlsDescription().rfind("TLSv1.", 0), 0u) << server_->tlsDescription();
  } else {
    EXPECT_EQ(server_->tlsDescription(), "");
  }
}

TEST_P(UsbServerLinks, KeyDeviceIsConnectedConfiguredAndMovesData) {
  plug("key", 1);
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*client, 1, key));
  Status status;
  ASSERT_EQ(client->connect(key, "tester", status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);
  uint32_t mask = 0;
  ASSERT_EQ(client->connectedMask(mask, status), 0);
  EXPECT_EQ(mask, 1u << key.index);
  EXPECT_EQ(params_.find("usb_owner_", key.index + 1u)->toText(), "tester (198.018.000.002)");
  ASSERT_EQ(client->setConfiguration(key, 1, {}, status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);

  // Bulk OUT, then the same bytes back from bulk IN: a transfer above one
  // part comes back as partial completions and a final one.
  for (size_t size : {size_t(1), size_t(512), size_t(150000)}) {
    SCOPED_TRACE(size);
    const Bytes sent = pattern(size, static_cast<uint8_t>(size));
    UrbResult out;
    ASSERT_EQ(client->transfer(bulk(key, kKeyOut, static_cast<uint32_t>(size)), sent, out), 0);
    ASSERT_TRUE(out.status.ok()) << statusText(out.status);
    UrbResult in;
    ASSERT_EQ(client->transfer(bulk(key, kKeyIn, static_cast<uint32_t>(size)), {}, in), 0);
    ASSERT_TRUE(in.status.ok()) << statusText(in.status);
    EXPECT_EQ(in.data, sent);
    EXPECT_EQ(in.parts, (size + 65535) / 65536);
  }

  // Vendor control requests: store a register, read it back.
  const Bytes value = pattern(20, 9);
  UrbResult stored;
  ASSERT_EQ(client->control(key, SetupPacket{0x40, 1, 0, 0, 20}, value, 0, stored), 0);
  ASSERT_TRUE(stored.status.ok()) << statusText(stored.status);
  UrbResult read;
  ASSERT_EQ(client->control(key, SetupPacket{0xC0, 2, 0, 0, 20}, {}, 20, read), 0);
  ASSERT_TRUE(read.status.ok()) << statusText(read.status);
  EXPECT_EQ(read.data, value);
  // The device descriptor comes from the cache.
  UrbResult descriptor;
  ASSERT_EQ(client->control(key, SetupPacket{0x80, 6, 0x0100, 0, 18}, {}, 18, descriptor), 0);
  ASSERT_EQ(descriptor.data.size(), 18u);
  EXPECT_EQ(getLe16(descriptor.data.data() + 8), 0x1D50);

  ASSERT_EQ(client->disconnect(key, status), 0);
  EXPECT_TRUE(status.ok()) << statusText(status);
  ASSERT_EQ(client->connectedMask(mask, status), 0);
  EXPECT_EQ(mask, 0u);
  EXPECT_EQ(params_.find("usb_owner_", key.index + 1u)->toText(), "Available");
}

TEST_P(UsbServerLinks, KeyboardReportArrivesThroughAnInterruptTransfer) {
  const std::string name = plug("keyboard", 2);
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  DeviceRef keyboard;
  ASSERT_TRUE(findDevice(*client, 2, keyboard));
  Status status;
  ASSERT_EQ(client->connect(keyboard, "", status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);
  ASSERT_EQ(client->setConfiguration(keyboard, 1, {}, status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);
  UrbRequest urb;
  urb.device = keyboard;
  urb.endpoint = kKeyboardIn;
  urb.type = TransferType::Interrupt;
  urb.inLength = 8;
  uint32_t tag = 0;
  ASSERT_EQ(client->submit(urb, {}, tag), 0);
  const Bytes report = {0, 0, 0x04, 0, 0, 0, 0, 0};
  ASSERT_EQ(host_->injectReport(name, report), 0);
  UrbResult result;
  ASSERT_EQ(client->await(tag, result), 0);
  EXPECT_TRUE(result.status.ok()) << statusText(result.status);
  EXPECT_EQ(result.data, report);
}

TEST_P(UsbServerLinks, SecondClientTakesTheDeviceOver) {
  plug("key", 1);
  startServer();
  auto first = connectClient(GetParam());
  auto second = connectClient(GetParam());
  ASSERT_TRUE(first && second);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*first, 1, key));
  Status status;
  ASSERT_EQ(first->connect(key, "first", status), 0);
  ASSERT_TRUE(status.ok());
  ASSERT_EQ(first->setConfiguration(key, 1, {}, status), 0);

  // Still listed to the second client, which takes it.
  DeviceRef seen;
  ASSERT_TRUE(findDevice(*second, 1, seen));
  EXPECT_EQ(seen, key);
  ASSERT_EQ(second->connect(seen, "second", status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);
  Event event;
  ASSERT_EQ(first->waitEvent(event, 3000), 0);
  EXPECT_EQ(event.code, static_cast<uint32_t>(EventCode::DeviceGone));
  EXPECT_EQ(event.device, key);
  UrbResult refused;
  ASSERT_EQ(first->transfer(bulk(key, kKeyIn, 64), {}, refused), 0);
  EXPECT_EQ(refused.status.statusClass, 5u);
  EXPECT_EQ(refused.status.code, 12);

  ASSERT_EQ(second->setConfiguration(key, 1, {}, status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);
  const Bytes sent = pattern(300, 3);
  UrbResult out, in;
  ASSERT_EQ(second->transfer(bulk(key, kKeyOut, 300), sent, out), 0);
  ASSERT_EQ(second->transfer(bulk(key, kKeyIn, 300), {}, in), 0);
  EXPECT_EQ(in.data, sent);
}

TEST_P(UsbServerLinks, UnplugTellsTheOwnerAndEndsItsTransfer) {
  const std::string name = plug("key", 1);
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*client, 1, key));
  Status status;
  ASSERT_EQ(client->connect(key, "owner", status), 0);
  ASSERT_EQ(client->setConfiguration(key, 1, {}, status), 0);
  uint32_t tag = 0;
  ASSERT_EQ(client->submit(bulk(key, kKeyIn, 64), {}, tag), 0);
  ASSERT_EQ(host_->unplug(name), 0);
  UrbResult result;
  ASSERT_EQ(client->await(tag, result), 0);
  EXPECT_FALSE(result.status.ok());
  Event event;
  ASSERT_EQ(client->waitEvent(event, 5000), 0);
  EXPECT_EQ(event.code, static_cast<uint32_t>(EventCode::DeviceGone));
  EXPECT_EQ(event.device, key);
  // The connection goes on serving.
  ASSERT_EQ(client->keepAlive(7, status), 0);
  EXPECT_TRUE(status.ok());
}

TEST_P(UsbServerLinks, AdministratorsDisconnectReachesTheOwner) {
  plug("key", 2);
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*client, 2, key));
  Status status;
  ASSERT_EQ(client->connect(key, "owner", status), 0);
  EXPECT_EQ(server_->disconnectPort(2), 1);
  Event event;
  ASSERT_EQ(client->waitEvent(event, 10000), 0);
  EXPECT_EQ(event.code, static_cast<uint32_t>(EventCode::AdminDisconnect));
  EXPECT_EQ(event.device, key);
  // The slot is given back by the owner's task, which may still be at it.
  const Param* owner = params_.find("usb_owner_", key.index + 1u);
  eventually([&] { return owner->toText() == "Available"; }, std::chrono::milliseconds(5000));
  EXPECT_EQ(owner->toText(), "Available");
  ASSERT_EQ(client->disconnect(key, status), 0);
  EXPECT_TRUE(status.ok()) << statusText(status);
}

TEST_P(UsbServerLinks, HeaderSplitAcrossSegmentsIsReadWhole) {
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  const Bytes request = encodeRequest(Command::KeepAlive, 77, keepAlivePayload(0x01020304));
  for (size_t cut : {size_t(1), size_t(7), size_t(15), size_t(18)}) {
    SCOPED_TRACE(cut);
    ASSERT_EQ(client->sendRaw(std::span(request).first(cut)), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(client->sendRaw(std::span(request).subspan(cut)), 0);
    Message message;
    ASSERT_EQ(client->receive(message, 3000), 0);
    ASSERT_TRUE(std::holds_alternative<Reply>(message));
    const Reply& reply = std::get<Reply>(message);
    EXPECT_EQ(reply.command, replyCommand(Command::KeepAlive));
    EXPECT_EQ(reply.tag, 77u);
    EXPECT_EQ(reply.payload, (Bytes{1, 2, 3, 4}));
  }
}

// Garbage ends only the connection that sent it.
TEST_P(UsbServerLinks, MalformedInputClosesOnlyThatConnection) {
  plug("key", 1);
  startServer();
  auto bystander = connectClient(GetParam());
  ASSERT_TRUE(bystander);
  Status status;
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const Bytes unknownCommand = encodeRequest(static_cast<Command>(10), 1, {});
  Bytes badMagic = encodeRequest(Command::DevList, 2, Bytes{'X', 'Y', 'V', 0});
  Bytes shortBlock = encodeRequest(Command::DevList, 3, Bytes{'Z', 'O', 'V', 2, 1, 2, 3, 4});
  const Case cases[] = {{"unknown command", unknownCommand},
                        {"bad proof magic", badMagic},
                        {"proof count and length disagree", shortBlock},
                        {"random bytes", pattern(64, 0xF0)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto victim = connectClient(GetParam());
    ASSERT_TRUE(victim);
    ASSERT_EQ(victim->sendRaw(c.bytes), 0);
    Message message;
    // The server ends a TLS session without a closing alert.
    const int closed = victim->receive(message, 3000);
    if (GetParam() == Link::Tcp || closed != kIoError) {
      EXPECT_EQ(closed, kPeerClosed);
    }
    ASSERT_EQ(bystander->keepAlive(5, status), 0);
    EXPECT_TRUE(status.ok());
  }
  for (int i = 0; i < 100 && server_->connectionCount() > 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(server_->connectionCount(), 1);
}

// A transfer larger than the server buffers is refused; the OUT data that
// follows it is read and dropped, so the connection stays in step.
TEST_P(UsbServerLinks, OversizedTransferIsRefusedAndItsDataSkipped) {
  plug("key", 1);
  startServer();
  auto client = connectClient(GetParam(), 15000);
  ASSERT_TRUE(client);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*client, 1, key));
  Status status;
  ASSERT_EQ(client->connect(key, "", status), 0);
  ASSERT_EQ(client->setConfiguration(key, 1, {}, status), 0);
  UrbResult in;
  ASSERT_EQ(client->transfer(bulk(key, kKeyIn, 0x7FFFFFFF), {}, in), 0);
  EXPECT_EQ(in.status.statusClass, 3u) << statusText(in.status);
  EXPECT_EQ(in.status.code, 12);
  const uint32_t size = (17u << 20) + 3;
  const Bytes data = pattern(size, 5);
  UrbResult out;
  ASSERT_EQ(client->transfer(bulk(key, kKeyOut, size), data, out), 0);
  EXPECT_EQ(out.status.statusClass, 3u) << statusText(out.status);
  EXPECT_EQ(out.status.code, 12);
  // Nothing of it reached the device, and the stream is still in step.
  const Bytes small = pattern(100, 1);
  UrbResult echoed;
  ASSERT_EQ(client->transfer(bulk(key, kKeyOut, 100), small, out), 0);
  ASSERT_EQ(client->transfer(bulk(key, kKeyIn, 100), {}, echoed), 0);
  EXPECT_EQ(echoed.data, small);
}

// A keyed port shows its device only to a client that proves the key for
// the nonce of its last version request, and only such a client connects it.
TEST_P(UsbServerLinks, KeyedPortNeedsAProofToListAndConnect) {
  plug("key", 1);
  SimModelOptions other;
  other.vendor = 0x1234;
  plug("key", 2, other);
  params_.find("wyk_accctrl_", 1)->setFromText("key");
  params_.find("wyk_keyval_", 1)->setFromText("s3cret+key");
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  DeviceRef open;
  ASSERT_TRUE(findDevice(*client, 2, open));
  Status status;
  std::vector<DeviceEntry> list;
  ASSERT_EQ(client->deviceList({}, list, status), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].device.port, 2);
  // The keyed device's pair, as another table entry would be named.
  const DeviceRef keyed{static_cast<uint8_t>(open.index == 0 ? 1 : 0), 1};
  ASSERT_EQ(client->connect(keyed, "", status), 0);
  EXPECT_EQ(status.statusClass, 3u);
  EXPECT_EQ(status.code, 19);

  struct Case {
    ProofForm form;
    const char* key;
    uint32_t nonce;
    bool listed;
  };
  // Nonces whose crypt salt holds a '+' as well as plain ones.
  const Case cases[] = {{ProofForm::Crypt, "s3cret+key", 0x3E, true},
                        {ProofForm::Crypt, "s3cret+key", 0x12345678, true},
                        {ProofForm::Digest, "s3cret+key", 0xFFFFFFFF, true},
                        {ProofForm::Digest, "wrong", 7, false},
                        {ProofForm::Crypt, "wrong", 7, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.nonce));
    VersionInfo version;
    ASSERT_EQ(client->version(c.nonce, true, version, status), 0);
    const PortKey keys[] = {{1, c.key}};
    ASSERT_EQ(client->deviceList(c.form, keys, list, status), 0);
    bool seen = false;
    for (const DeviceEntry& entry : list) seen = seen || entry.device.port == 1;
    EXPECT_EQ(seen, c.listed);
    if (!c.listed) continue;
    ASSERT_EQ(client->connect(keyed, "", status), 0);
    EXPECT_TRUE(status.ok()) << statusText(status);
    ASSERT_EQ(client->disconnect(keyed, status), 0);
  }
}

// Requests that arrive together (one segment, or one TLS record) are all
// answered, although the socket reports no further input after the first.
TEST_P(UsbServerLinks, RequestsSentTogetherAreAllAnswered) {
  startServer();
  auto client = connectClient(GetParam());
  ASSERT_TRUE(client);
  Bytes batch;
  for (uint32_t tag = 1; tag <= 5; ++tag) {
    const Bytes one = encodeRequest(Command::KeepAlive, tag, keepAlivePayload(tag * 11));
    batch.insert(batch.end(), one.begin(), one.end());
  }
  ASSERT_EQ(client->sendRaw(batch), 0);
  for (uint32_t tag = 1; tag <= 5; ++tag) {
    Message message;
    ASSERT_EQ(client->receive(message, 3000), 0) << tag;
    ASSERT_TRUE(std::holds_alternative<Reply>(message));
    EXPECT_EQ(std::get<Reply>(message).tag, tag);
  }
}

TEST_F(UsbServerNetns, ChangedPortRebuildsTheListenersAndKeepsTheConnections) {
  startServer();
  auto before = connectClient(Link::Tcp);
  ASSERT_TRUE(before);
  parameters_->wyk_port->setFromText("9300");
  TaskMessage changed{};
  changed.type = MSG_PARAMS_CHANGED;
  ASSERT_EQ(postByName("UsbSrvd", &changed), 1);
  std::unique_ptr<usbclient::UsbClient> after;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!after && std::chrono::steady_clock::now() < until) {
    net_.runInPeer([&] {
      ServerAddress address;
      address.host = NetnsPair::kInsideAddress;
      address.port = 9300;
      address.timeoutMs = 3000;
      std::string error;
      if (auto transport = openTransport(address, error)) {
        after = std::make_unique<usbclient::UsbClient>(std::move(transport), 3000);
      }
    });
    if (!after) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_TRUE(after);
  Status status;
  ASSERT_EQ(after->keepAlive(1, status), 0);
  ASSERT_EQ(before->keepAlive(2, status), 0);
  EXPECT_TRUE(status.ok());
}

// Any client may disconnect a device, but the owner learns of it; only the
// owner reconfigures it.
TEST_F(UsbServerNetns, OtherClientsCannotSilentlyTakeAnOwnersDevice) {
  plug("key", 1);
  startServer();
  auto owner = connectClient(Link::Tcp);
  auto other = connectClient(Link::Tcp);
  ASSERT_TRUE(owner && other);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*owner, 1, key));
  Status status;
  ASSERT_EQ(owner->connect(key, "owner", status), 0);
  ASSERT_EQ(owner->setConfiguration(key, 1, {}, status), 0);
  ASSERT_TRUE(status.ok());
  ASSERT_EQ(other->setConfiguration(key, 1, {}, status), 0);
  EXPECT_EQ(status.statusClass, 5u);
  EXPECT_EQ(status.code, 12);
  uint32_t tag = 0;
  ASSERT_EQ(owner->submit(bulk(key, kKeyIn, 64), {}, tag), 0);
  ASSERT_EQ(other->disconnect(key, status), 0);
  EXPECT_TRUE(status.ok()) << statusText(status);
  Event event;
  ASSERT_EQ(owner->waitEvent(event, 3000), 0);
  EXPECT_EQ(event.code, static_cast<uint32_t>(EventCode::DeviceGone));
  EXPECT_EQ(event.device, key);
}

// The clean-up an administrator's disconnect asks for ends the use of the
// client that was told, not that of a client that took the device after.
TEST_F(UsbServerNetns, AdministratorsDisconnectDoesNotReachTheNextOwner) {
  plug("key", 1);
  startServer();
  auto first = connectClient(Link::Tcp);
  auto second = connectClient(Link::Tcp);
  ASSERT_TRUE(first && second);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*first, 1, key));
  ASSERT_TRUE(findDevice(*second, 1, key));
  Status status;
  ASSERT_EQ(first->connect(key, "first", status), 0);
  server_->disconnectPort(1);
  ASSERT_EQ(second->connect(key, "second", status), 0);
  ASSERT_TRUE(status.ok());
  ASSERT_EQ(second->setConfiguration(key, 1, {}, status), 0);
  ASSERT_TRUE(status.ok()) << statusText(status);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // every clean-up pass ran
  const Bytes sent = pattern(100, 4);
  UrbResult out, in;
  ASSERT_EQ(second->transfer(bulk(key, kKeyOut, 100), sent, out), 0);
  EXPECT_TRUE(out.status.ok()) << statusText(out.status);
  ASSERT_EQ(second->transfer(bulk(key, kKeyIn, 100), {}, in), 0);
  EXPECT_EQ(in.data, sent);
}

// The devices that need it are configured in their own way, seen from the
// simulated kernel's counters.
TEST_F(UsbServerNetns, SpecialDevicesAreConfiguredTheirOwnWay) {
  struct Case {
    uint16_t vendor;
    uint16_t product;
    uint8_t value;
    uint64_t setConfigZero;
    uint64_t requests551A;
  };
  const Case cases[] = {
      {0x1d50, 0x6001, 1, 0, 0}, {0x088e, 0x5036, 1, 1, 0}, {0x0819, 0x0101, 1, 1, 0},
      {0x0d46, 0x1234, 0, 0, 1}, {0x1d50, 0x6001, 0, 1, 0},
  };
  startServer();
  auto client = connectClient(Link::Tcp);
  ASSERT_TRUE(client);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product) + " " + std::to_string(c.value));
    SimModelOptions options;
    options.vendor = c.vendor;
    options.product = c.product;
    const std::string name = plug("key", 1, options);
    DeviceRef key;
    ASSERT_TRUE(findDevice(*client, 1, key));
    Status status;
    ASSERT_EQ(client->connect(key, "", status), 0);
    ASSERT_EQ(client->setConfiguration(key, c.value, {}, status), 0);
    EXPECT_TRUE(status.ok()) << statusText(status);
    for (const SimDeviceStatus& device : host_->devices()) {
      if (device.name != name) continue;
      EXPECT_EQ(device.setConfigZero, c.setConfigZero);
      EXPECT_EQ(device.requests551A, c.requests551A);
    }
    ASSERT_EQ(client->disconnect(key, status), 0);
    ASSERT_EQ(host_->unplug(name), 0);
    for (int i = 0; i < 100; ++i) {
      std::vector<DeviceEntry> list;
      ASSERT_EQ(client->deviceList({}, list, status), 0);
      if (list.empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

TEST_F(UsbServerNetns, ClientsBeyondTheLimitAreClosedAtOnce) {
  startServer();
  // Two ports: five clients are served at once.
  std::vector<std::unique_ptr<usbclient::UsbClient>> clients;
  Status status;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(connectClient(Link::Tcp));
    ASSERT_TRUE(clients.back());
    ASSERT_EQ(clients.back()->keepAlive(i, status), 0) << i;
  }
  auto extra = connectClient(Link::Tcp);
  ASSERT_TRUE(extra);
  Message message;
  EXPECT_EQ(extra->receive(message, 3000), kPeerClosed);
  for (auto& client : clients) {
    ASSERT_EQ(client->keepAlive(9, status), 0);
  }
  clients.pop_back();
  for (int i = 0; i < 100 && server_->connectionCount() > 4; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto again = connectClient(Link::Tcp);
  ASSERT_TRUE(again);
  ASSERT_EQ(again->keepAlive(3, status), 0);
}

TEST_F(UsbServerNetns, SilentClientIsDroppedAfterTheHeartbeatAndReleasesItsDevice) {
  plug("key", 1);
  parameters_->wyk_heartbeat->setFromText("1");
  startServer();
  auto silent = connectClient(Link::Tcp);
  auto talking = connectClient(Link::Tcp);
  ASSERT_TRUE(silent && talking);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*silent, 1, key));
  Status status;
  ASSERT_EQ(silent->connect(key, "silent", status), 0);
  const auto start = std::chrono::steady_clock::now();
  Message message;
  int result = 0;
  while ((result = silent->receive(message, 500)) == kTimeout &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(12)) {
    ASSERT_EQ(talking->keepAlive(1, status), 0);
  }
  EXPECT_EQ(result, kPeerClosed);
  // The talking client stayed, and the device is free again.
  ASSERT_EQ(talking->keepAlive(2, status), 0);
  uint32_t mask = 1;
  ASSERT_EQ(talking->connectedMask(mask, status), 0);
  EXPECT_EQ(mask, 0u);
}

TEST_F(UsbServerNetns, ConnectionsEndWhenTheServerStops) {
  plug("key", 1);
  startServer();
  auto client = connectClient(Link::Tcp);
  ASSERT_TRUE(client);
  DeviceRef key;
  ASSERT_TRUE(findDevice(*client, 1, key));
  Status status;
  ASSERT_EQ(client->connect(key, "", status), 0);
  server_.reset();
  Message message;
  EXPECT_EQ(client->receive(message, 3000), kPeerClosed);
}

// Port VLANs: a listener on each VLAN that is switched on, and a port
// bound to a VLAN shows its device only to clients that came through it.
class UsbServerVlans : public UsbServerNetns {
 protected:
  UsbServerVlans() : UsbServerNetns(2, {5, 6}) {}
};

TEST_F(UsbServerVlans, ListenersFollowTheVlanSwitchesAndBindingsHideDevices) {
  params_.find("ip4vlan_on_", 1)->setFromText("on");
  params_.find("ip4vlan_id_", 1)->setFromText("5");
  params_.find("ip4vlan_on_", 2)->setFromText("off");
  params_.find("ip4vlan_id_", 2)->setFromText("6");
  params_.find("wyk_2vlan_", 1)->setFromText("1");
  eth0_.vlanIds = {{1, 5}, {2, 6}};
  plug("key", 1);
  plug("key", 2);
  startServer();
  auto untagged = connectClient(Link::Tcp);
  auto tagged = connectClient(Link::Tcp, 5000, NetnsPair::vlanInsideAddress(5));
  ASSERT_TRUE(untagged && tagged);
  DeviceRef first, second;
  ASSERT_TRUE(findDevice(*tagged, 1, first));
  ASSERT_TRUE(findDevice(*untagged, 2, second));
  Status status;
  std::vector<DeviceEntry> list;
  ASSERT_EQ(untagged->deviceList({}, list, status), 0);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].device.port, 2);
  ASSERT_EQ(untagged->connect(first, "", status), 0);
  EXPECT_FALSE(status.ok());
  ASSERT_EQ(tagged->connect(first, "", status), 0);
  EXPECT_TRUE(status.ok()) << statusText(status);
  // No listener on the VLAN that is off.
  bool refused = false;
  net_.runInPeer([&] {
    ServerAddress address;
    address.host = NetnsPair::vlanInsideAddress(6);
    address.port = kPlainPort;
    address.timeoutMs = 2000;
    std::string error;
    refused = openTransport(address, error) == nullptr;
  });
  EXPECT_TRUE(refused);
}

}  // namespace

namespace {

// The display and relay models flash their activity LED once per request a
// connection task serves; the other models have no activity LED to flash.
TEST_F(UsbServerNetns, ActivityLedFlashesOnlyOnTheDisplayAndRelayModels) {
  const struct {
    uint32_t product;
    bool flashes;
  } models[] = {{200, true}, {210, true}, {121, false}};
  for (const auto& model : models) {
    SCOPED_TRACE(model.product);
    server_.reset();
    product_.product_id = model.product;
    const int before = outputs_.flashes();
    startServer();
    auto client = connectClient(Link::Tcp);
    ASSERT_TRUE(client);
    Status status;
    for (uint32_t tag = 1; tag <= 3; ++tag) ASSERT_EQ(client->keepAlive(tag, status), 0);
    const int flashes = outputs_.flashes() - before;
    if (model.flashes) {
      EXPECT_GE(flashes, 3);
    } else {
      EXPECT_EQ(flashes, 0);
    }
  }
}

}  // namespace
