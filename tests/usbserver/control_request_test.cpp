#include "usbserver/control_request.h"

#include <gtest/gtest.h>

#include "usb_table_fixture.h"

namespace {

constexpr int kPort = 2;

class ControlRequestTest : public UsbTableFixture {
 protected:
  void SetUp() override {
    makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
    device.devpath = "1.2";
    node = &plug(device, vendorNodeFile(vendor, product, 2));
    ASSERT_EQ(table->scanUsbDevices(), 1);
    control = std::make_unique<ControlRequests>(*table);
    usbfs.clearJournal();
  }
  void connect() {
    uint32_t serial;
    ASSERT_EQ(table->takeDevice(0, owner, serial), UsbResult::ok());
    usbfs.clearJournal();
  }
  // A control transfer: the setup packet's 16-bit fields big-endian.
  ControlOutcome request(RecordingClient& who, uint8_t type, uint8_t req, uint16_t value, uint16_t index,
                         uint16_t length, uint32_t inLength, Bytes outData = {}, bool admitted = true) {
    Bytes out = {type,
                 req,
                 static_cast<uint8_t>(value >> 8),
                 static_cast<uint8_t>(value),
                 static_cast<uint8_t>(index >> 8),
                 static_cast<uint8_t>(index),
                 static_cast<uint8_t>(length >> 8),
                 static_cast<uint8_t>(length)};
    out.insert(out.end(), outData.begin(), outData.end());
    UrbRequest r;
    r.index = 0;
    r.port = kPort;
    r.type = 2;
    r.inLength = inLength;
    r.outLength = static_cast<uint32_t>(out.size());
    BytesSource source(out);
    return control->processCtrlReq(who, r, source, admitted);
  }
  Bytes in(const ControlOutcome& o) { return o.in ? Bytes(o.in.get(), o.in.get() + o.inLength) : Bytes{}; }
  int deviceRequests() {
    int n = 0;
    for (const std::string& line : usbfs.journal()) n += line.rfind("control", 0) == 0;
    return n;
  }

  int vendor = 0x1234;
  int product = 0x5678;
  SysfsDevice device;
  FakeNodeDevice* node = nullptr;
  RecordingClient owner;
  RecordingClient other;
  std::unique_ptr<ControlRequests> control;
};

TEST_F(ControlRequestTest, DeviceDescriptorComesFromTheCache) {
  ControlOutcome o = request(other, 0x80, 6, 0x0100, 0, 64, 64);
  EXPECT_EQ(o.result, UsbResult::ok());
  EXPECT_EQ(in(o), deviceDescriptor(vendor, product, 2));
  o = request(other, 0x80, 6, 0x0100, 0, 8, 8);
  EXPECT_EQ(in(o).size(), 8u);
  EXPECT_EQ(deviceRequests(), 0);
  EXPECT_TRUE(usbfs.journal().empty());
}

TEST_F(ControlRequestTest, ConfigurationDescriptorsComeFromTheNodeFile) {
  Bytes file = vendorNodeFile(vendor, product, 2);
  Bytes first(file.begin() + 18, file.begin() + 18 + file[18 + 2]);
  ControlOutcome o = request(other, 0x80, 6, 0x0200, 0, 9, 9);
  EXPECT_EQ(in(o), Bytes(first.begin(), first.begin() + 9));
  o = request(other, 0x80, 6, 0x0200, 0, 255, 255);
  EXPECT_EQ(in(o), first);
  Bytes second(file.begin() + 18 + first.size(), file.end());
  o = request(other, 0x80, 6, 0x0201, 0, 255, 255);
  EXPECT_EQ(in(o), second);
  // Index 2 of a device with two configurations does not exist.
  o = request(other, 0x80, 6, 0x0202, 0, 255, 255);
  EXPECT_EQ(o.result, UsbResult::error(53));
  EXPECT_EQ(in(o), Bytes{});
  EXPECT_EQ(deviceRequests(), 0);
  EXPECT_EQ(usbfs.openNodes(), 0);
}

TEST_F(ControlRequestTest, StringsComeFromTheCacheOrAreFetchedOnce) {
  ControlOutcome o = request(other, 0x80, 6, 0x0302, 0x0409, 255, 255);
  EXPECT_EQ(in(o), stringDescriptor("Gadget"));
  EXPECT_EQ(deviceRequests(), 0);
  // An index the device refuses: asked once, then answered from the cache.
  for (int i = 0; i < 3; ++i) {
    o = request(other, 0x80, 6, 0x0309, 0x0409, 255, 255);
    EXPECT_EQ(o.result, UsbResult::ok());
    EXPECT_EQ(in(o), (Bytes{2, 3}));
  }
  EXPECT_EQ(deviceRequests(), 1);
  // The OS string was refused at plug-in; it is never fetched.
  o = request(other, 0x80, 6, 0x03EE, 0, 255, 255);
  EXPECT_EQ(o.result, UsbResult::denied(3));
  o = request(other, 0x80, 6, 0x0309, 0x0409, 1, 1);
  EXPECT_EQ(o.result, UsbResult::denied(3));
  EXPECT_EQ(deviceRequests(), 1);
}

TEST_F(ControlRequestTest, TheStringCacheStaysBoundedWhateverClientsAskFor) {
  for (int language = 1; language <= 200; ++language) request(other, 0x80, 6, 0x0305, language, 255, 255);
  EXPECT_LE(table->entry(0).strings.size(), UsbStringCache::kCapacity);
}

TEST_F(ControlRequestTest, AClientThatDoesNotOwnTheDeviceMayOnlyReadAndAskVendorIn) {
  connect();
  ControlOutcome o = request(other, 0x40, 3, 1, 0, 4, 0, {1, 2, 3, 4});
  EXPECT_EQ(o.result, UsbResult::denied(12));
  o = request(other, 0xC0, 1, 0, 0, 2, 2);
  EXPECT_EQ(o.result, UsbResult::ok());
  EXPECT_EQ(in(o), node->vendorAnswer);
  // Opened for reading and writing, closed again.
  EXPECT_EQ(usbfs.journal().front(), "open 1/2 rw");
  EXPECT_EQ(usbfs.openNodes(), 1);
  // A port the client's device list did not admit reveals nothing.
  o = request(other, 0x80, 6, 0x0100, 0, 18, 18, {}, false);
  EXPECT_EQ(o.result, UsbResult::denied(12));
  o = request(owner, 0x80, 6, 0x0100, 0, 18, 18, {}, false);
  EXPECT_EQ(o.result, UsbResult::ok());
}

TEST_F(ControlRequestTest, TheOwnerTunnelsRequestsWithinItsBuffers) {
  connect();
  ControlOutcome o = request(owner, 0xC1, 0x22, 0, 0, 100, 10);
  EXPECT_EQ(o.result, UsbResult::ok());
  EXPECT_EQ(in(o).size(), 10u);
  EXPECT_EQ(usbfs.journal().back(), "control c1 22 0000 0000 10");
  o = request(owner, 0x41, 0x09, 0x0200, 0, 500, 0, {9, 9});
  EXPECT_EQ(o.result, UsbResult::ok());
  EXPECT_EQ(usbfs.journal().back(), "control 41 09 0200 0000 2");
  usbfs.setControlResult(-EPIPE);
  o = request(owner, 0x41, 0x09, 0, 0, 0, 0);
  EXPECT_EQ(o.result, UsbResult::error(EPIPE));
}

TEST_F(ControlRequestTest, SetInterfaceAndClearFeatureMapOntoUsbfs) {
  connect();
  EXPECT_EQ(request(owner, 0x01, 11, 1, 1, 0, 0).result, UsbResult::ok());
  EXPECT_EQ(usbfs.journal().back(), "setInterface 1 1");
  EXPECT_EQ(request(owner, 0x01, 11, 2, 1, 0, 0).result, UsbResult::denied(53));
  EXPECT_EQ(request(owner, 0x02, 1, 0, 0x81, 0, 0).result, UsbResult::ok());
  EXPECT_EQ(usbfs.journal().back(), "clearHalt 129");
  usbfs.clearJournal();
  EXPECT_EQ(request(other, 0x01, 11, 1, 1, 0, 0).result, UsbResult::denied(12));
  EXPECT_TRUE(usbfs.journal().empty());
}

TEST_F(ControlRequestTest, MalformedRequestsAreRefusedBeforeAnythingIsAllocated) {
  UrbRequest r;
  r.index = 0;
  r.port = kPort;
  r.type = 2;
  r.outLength = 5;
  BytesSource shortSetup(pattern(5));
  ControlOutcome o = control->processCtrlReq(owner, r, shortSetup, true);
  EXPECT_EQ(o.result, UsbResult::error(71));
  EXPECT_EQ(shortSetup.left(), 0u);
  r.outLength = 8;
  r.inLength = 0x7fffffff;
  BytesSource hugeIn(pattern(8));
  EXPECT_EQ(control->processCtrlReq(owner, r, hugeIn, true).result, UsbResult::error(71));
  r.inLength = 0;
  BytesSource missing(pattern(4));
  o = control->processCtrlReq(owner, r, missing, true);
  EXPECT_EQ(o.result, UsbResult::error(71));
  EXPECT_TRUE(o.endConnection);
  r.port = 3;
  BytesSource wrongPort(pattern(8));
  EXPECT_EQ(control->processCtrlReq(owner, r, wrongPort, true).result, UsbResult::error(19));
}

class ControlQuirkTest : public ControlRequestTest {};

TEST_F(ControlQuirkTest, ATimedOutRequestResetsTheDeviceThatNeedsIt) {
  table.reset();
  removeSysfsDevice(usbfs.sysfsDevicesDir(), device);
  device.vendor = 0x0529;
  device.product = 0x0001;
  device.devnum = 5;
  plug(device, vendorNodeFile(device.vendor, device.product));
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  control = std::make_unique<ControlRequests>(*table);
  connect();
  usbfs.setControlResult(-ETIMEDOUT);
  EXPECT_EQ(request(owner, 0x41, 1, 0, 0, 0, 0).result, UsbResult::error(ETIMEDOUT));
  EXPECT_EQ(usbfs.journal().back(), "reset");
}

}  // namespace
