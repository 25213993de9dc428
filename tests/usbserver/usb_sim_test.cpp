// The device table and the transfer engine against the simulated usbfs and
// its device models.
#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <memory>

#include "core/paths.h"
#include "sim/usb/sim_usb_host.h"
#include "sim/usb/sim_usb_models.h"
#include "usb_test_support.h"
#include "usbserver/control_request.h"
#include "usbserver/urb_engine.h"
#include "usbserver/urb_record.h"
#include "usbserver/usb_device_table.h"

namespace {

class HidSetting : public UsbDiscoverySettings {
 public:
  bool listHidDevices() const override { return on; }
  bool on = false;
};

class UsbSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_unique<SimUsbHost>();
    table = std::make_unique<UsbDeviceTable>(*host, clock, events, hid, UsbLayout::TwentyPort, UsbLayout::TwentyPort,
                                             sysPath("/romfs/usb.ids"));
    engine = std::make_unique<UrbEngine>(*table);
    population = urbPopulation.load();
  }
  void TearDown() override {
    for (int i = 0; i < table->size(); ++i) table->releaseDevice(i);
    EXPECT_EQ(urbPopulation.load(), population);
  }

  int plug(const std::string& model, const std::string& devpath, SimModelOptions options = {}) {
    std::string error;
    auto m = makeSimUsbModel(model, options, &error);
    EXPECT_TRUE(m) << error;
    return host->plug(1, devpath, std::move(m), SimPlugSettings{});
  }
  int indexOf(int port) {
    for (int i = 0; i < table->size(); ++i) {
      if (table->entry(i).inUse() && table->entry(i).id.port == port) return i;
    }
    return -1;
  }
  UrbRequest bulk(int index, uint8_t endpoint, uint32_t length, uint32_t tag) {
    UrbRequest r;
    r.tag = tag;
    r.index = index;
    r.port = table->entry(index).id.port;
    r.endpoint = endpoint;
    r.type = 3;
    (endpoint & 0x80 ? r.inLength : r.outLength) = length;
    return r;
  }
  UrbOutcome submit(const UrbRequest& r, Bytes out = {}) {
    BytesSource source(std::move(out));
    return engine->submitUrb(client, r, source);
  }
  // Serves the node's completions until `count` arrived or two seconds
  // passed; the result of the last poll.
  int serve(int index, size_t count) {
    int r = 0;
    for (int round = 0; round < 200 && client.completions.size() < count; ++round) {
      pollfd p{table->entry(index).node, POLLIN, 0};
      if (p.fd < 0) break;
      if (::poll(&p, 1, 10) > 0) r = engine->usbSrvPoll(index, serial);
      if (r < 0) break;
    }
    return r;
  }

  TempRoot root;
  std::unique_ptr<SimUsbHost> host;
  FakeClock clock;
  RecordingEvents events;
  HidSetting hid;
  std::unique_ptr<UsbDeviceTable> table;
  std::unique_ptr<UrbEngine> engine;
  RecordingClient client;
  uint32_t serial = 0;
  int population = 0;
};

TEST_F(UsbSimTest, ScanFindsTheModelsAndHidesTheKeyboardUnlessAllowed) {
  ASSERT_GT(plug("key", "1.2"), 0);
  ASSERT_GT(plug("storage", "2.1"), 0);
  ASSERT_GT(plug("keyboard", "3.4"), 0);
  EXPECT_EQ(table->scanUsbDevices(), 2);
  EXPECT_GE(indexOf(2), 0);
  EXPECT_GE(indexOf(6), 0);
  EXPECT_LT(indexOf(14), 0);
  hid.on = true;
  EXPECT_EQ(table->scanUsbDevices(), 1);
  EXPECT_GE(indexOf(14), 0);
  const UsbDevice& key = table->entry(indexOf(2));
  EXPECT_EQ(key.id.vendorId, 0x1d50);
  EXPECT_EQ(key.configurations.size(), 2u);
  EXPECT_GT(key.configurations[0].interfaceCount, 0);
  EXPECT_EQ(key.configurations[1].interfaceCount, 0);
}

TEST_F(UsbSimTest, LoopbackTransfersSplitAndComeBackInParts) {
  ASSERT_GT(plug("key", "1.2"), 0);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  const int index = indexOf(2);
  ASSERT_EQ(table->takeDevice(index, client, serial), UsbResult::ok());
  const Bytes data = pattern(150000, 3);
  ASSERT_EQ(submit(bulk(index, 0x01, 150000, 1), data).result, UsbResult::pending());
  serve(index, 1);
  ASSERT_EQ(client.completions.size(), 1u);
  EXPECT_EQ(client.completions[0].result, UsbResult::ok());
  EXPECT_FALSE(client.completions[0].partial);

  ASSERT_EQ(submit(bulk(index, 0x82, 131072, 2)).result, UsbResult::pending());
  ASSERT_EQ(submit(bulk(index, 0x82, 65536, 3)).result, UsbResult::pending());
  serve(index, 4);
  ASSERT_EQ(client.completions.size(), 4u);
  EXPECT_TRUE(client.completions[1].partial);
  EXPECT_EQ(client.completions[1].data.size(), 65536u);
  EXPECT_FALSE(client.completions[2].partial);
  EXPECT_EQ(client.completions[2].tag, 2u);
  EXPECT_EQ(client.completions[3].tag, 3u);
  EXPECT_EQ(client.completions[3].data.size(), 150000u - 131072u);
  Bytes back;
  for (size_t i = 1; i < 4; ++i) back.insert(back.end(), client.completions[i].data.begin(), client.completions[i].data.end());
  EXPECT_EQ(back, data);
}

TEST_F(UsbSimTest, UnplugWithTransfersInFlight) {
  ASSERT_GT(plug("key", "1.2"), 0);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  const int index = indexOf(2);
  ASSERT_EQ(table->takeDevice(index, client, serial), UsbResult::ok());
  ASSERT_EQ(submit(bulk(index, 0x82, 512, 1)).result, UsbResult::pending());
  ASSERT_EQ(submit(bulk(index, 0x82, 512, 2)).result, UsbResult::pending());
  ASSERT_EQ(host->unplug("1-1.2"), 0);
  EXPECT_EQ(serve(index, 10), -1);
  // The transfer in flight fails; the one queued behind it finds the device
  // gone when it is started. Each is answered once.
  ASSERT_EQ(client.completions.size(), 2u);
  EXPECT_EQ(client.completions[0].tag, 1u);
  EXPECT_EQ(client.completions[0].result.status, USB_ST_ERROR);
  EXPECT_EQ(client.completions[1].tag, 2u);
  EXPECT_EQ(client.completions[1].result, UsbResult::gone(-19));
  EXPECT_EQ(client.taken, (std::vector<std::pair<int, int>>{{index, 2}}));
  table->scanUsbDevices();
  EXPECT_EQ(table->entry(index).state.load(), USB_DEV_GONE);
  EXPECT_EQ(events.events, (std::vector<std::string>{"plug 0", "disconnect 0", "remove 0"}));
}

TEST_F(UsbSimTest, AClientWithoutTheDeviceGetsVendorInAndDescriptors) {
  ASSERT_GT(plug("key", "1.2"), 0);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  const int index = indexOf(2);
  RecordingClient owner;
  uint32_t ownerSerial;
  ASSERT_EQ(table->takeDevice(index, owner, ownerSerial), UsbResult::ok());
  ControlRequests control(*table);
  Bytes setup = {0xC0, 1, 0, 5, 0, 6, 0, 8};
  UrbRequest r;
  r.index = index;
  r.port = 2;
  r.type = 2;
  r.inLength = 8;
  r.outLength = 8;
  BytesSource source(setup);
  ControlOutcome o = control.processCtrlReq(client, r, source, true);
  EXPECT_EQ(o.result, UsbResult::ok());
  EXPECT_EQ(o.inLength, 8u);
  Bytes device = {0x80, 6, 1, 0, 0, 0, 0, 18};
  r.inLength = 18;
  BytesSource source2(device);
  o = control.processCtrlReq(client, r, source2, true);
  EXPECT_EQ(o.result, UsbResult::ok());
  ASSERT_EQ(o.inLength, 18u);
  EXPECT_EQ(o.in[1], 1);
}

}  // namespace
