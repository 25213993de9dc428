#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "usb_table_fixture.h"
#include "usbserver/usb_descriptors.h"
#include "usbserver/usb_layout.h"
#include "usbserver/usb_sysfs.h"

namespace {

struct PortCase {
  UsbLayout layout;
  int bus;
  const char* devpath;
  int port;
};

TEST(UsbLayoutTest, DevpathAndBusGiveThePortOfEveryLayout) {
  const PortCase cases[] = {
      {UsbLayout::TwoPortHub, 1, "1", 0},       {UsbLayout::TwoPortHub, 1, "1.2", 2},
      {UsbLayout::TwoPortHub, 1, "1.3", -1},    {UsbLayout::TwoPortHub, 1, "", -1},
      {UsbLayout::ThreeBus, 1, "1", 3},         {UsbLayout::ThreeBus, 2, "1", 2},
      {UsbLayout::ThreeBus, 2, "2.4", 1},       {UsbLayout::ThreeBus, 3, "1", 1},
      {UsbLayout::ThreeBus, 4, "1", 0},         {UsbLayout::ThreeBus, 2, "4", 0},
      {UsbLayout::TwentyPort, 1, "3.4", 14},    {UsbLayout::TwentyPort, 1, "1", 0},
      {UsbLayout::TwentyPort, 1, "4.5", 20},    {UsbLayout::TwentyPort, 1, "5.1", 0},
      {UsbLayout::ChainedHub, 1, "1.6", 6},     {UsbLayout::ChainedHub, 1, "1.7.3", 9},
      {UsbLayout::TwoBus, 2, "1", 1},           {UsbLayout::TwoBus, 3, "1", 2},
      {UsbLayout::TwoBus, 4, "1", 2},           {UsbLayout::TwoBus, 1, "1", 1},
      {UsbLayout::ThreePortBus, 1, "1.3", 3},   {UsbLayout::ThreePortBus, 2, "1.4", -1},
      {UsbLayout::ThreePortBus, 3, "1.1", 0},   {UsbLayout::EightPortBus, 1, "1.4", 4},
      {UsbLayout::EightPortBus, 3, "1.2", 6},   {UsbLayout::EightPortBus, 1, "1.5", -1},
      {UsbLayout::EightPortBus, 5, "1.1", 0},   {UsbLayout::NoPortMap, 1, "1.1", -1},
      {UsbLayout::TwentyPort, 1, "1.x", -1},    {UsbLayout::TwentyPort, 1, "99999999999.1", 0},
  };
  for (const PortCase& c : cases) {
    EXPECT_EQ(devpathToSlot(c.layout, c.bus, c.devpath), c.port) << c.devpath << " on bus " << c.bus;
  }
}

TEST(UsbLayoutTest, TableSizeAndHubLevelLimitOfEveryLayout) {
  const std::pair<UsbLayout, UsbLayoutSize> rows[] = {
      {UsbLayout::TwoPortHub, {6, 2}},   {UsbLayout::ThreeBus, {12, 0}},    {UsbLayout::TwentyPort, {40, 2}},
      {UsbLayout::ChainedHub, {16, 2}},  {UsbLayout::TwoBus, {10, 0}},      {UsbLayout::ThreePortBus, {12, 0}},
      {UsbLayout::EightPortBus, {5, 1}}, {UsbLayout::NoPortMap, {5, 1}},
  };
  for (const auto& [layout, size] : rows) {
    EXPECT_EQ(usbLayoutSize(layout).tableSize, size.tableSize);
    EXPECT_EQ(usbLayoutSize(layout).hubLevelLimit, size.hubLevelLimit);
  }
}

TEST(UsbSysfsTest, SpeedCodesAndPortPathHash) {
  EXPECT_EQ(usbSpeedCode("1.5"), 1);
  EXPECT_EQ(usbSpeedCode("12"), 2);
  EXPECT_EQ(usbSpeedCode("480"), 3);
  EXPECT_EQ(usbSpeedCode("5000"), 5);
  EXPECT_EQ(usbSpeedCode("10000"), 5);
  EXPECT_EQ(usbSpeedCode("20000"), 5);
  EXPECT_EQ(usbSpeedCode("weird"), 2);
  // "3.4": '3' xors 3, '.' shifts, '4' xors 4.
  EXPECT_EQ(portPathHash("3.4"), (3 << 4) ^ 4);
  // "12": '1' xors 12, '2' xors 2.
  EXPECT_EQ(portPathHash("12"), 12 ^ 2);
}

using UsbDeviceTableTest = UsbTableFixture;

TEST_F(UsbDeviceTableTest, EachLayoutMapsAScannedDeviceToItsPortAndSizesTheTable) {
  struct Row {
    UsbLayout layout;
    int bus;
    const char* devpath;
    int port;
  };
  const Row rows[] = {
      {UsbLayout::TwoPortHub, 1, "1.2", 2},  {UsbLayout::ThreeBus, 2, "1", 2},       {UsbLayout::TwentyPort, 1, "3.4", 14},
      {UsbLayout::ChainedHub, 1, "1.7.2", 8}, {UsbLayout::TwoBus, 3, "1", 2},        {UsbLayout::ThreePortBus, 1, "1.3", 3},
      {UsbLayout::EightPortBus, 3, "1.1", 5},
  };
  int devnum = 2;
  for (const Row& row : rows) {
    SysfsDevice d;
    d.bus = row.bus;
    d.devnum = devnum++;
    d.devpath = row.devpath;
    plugVendor(d);
    makeTable(row.layout, row.layout);
    EXPECT_EQ(table->size(), usbLayoutSize(row.layout).tableSize);
    EXPECT_EQ(table->scanUsbDevices(), 1) << row.devpath;
    EXPECT_EQ(table->entry(0).id.port, row.port) << row.devpath;
    table.reset();
    removeSysfsDevice(usbfs.sysfsDevicesDir(), d);
  }
}

TEST_F(UsbDeviceTableTest, ScanSkipsHubsInterfacesAndRootHubsAndCachesTheDevice) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice hub;
  hub.devpath = "1";
  hub.devnum = 2;
  hub.deviceClass = 9;
  hub.interfaceClasses = {9};
  writeSysfsDevice(usbfs.sysfsDevicesDir(), hub);
  std::filesystem::create_directories(usbfs.sysfsDevicesDir() + "/usb1");
  SysfsDevice d;
  d.devpath = "3.4";
  d.devnum = 7;
  plugVendor(d);

  EXPECT_EQ(table->scanUsbDevices(), 1);
  EXPECT_EQ(events.events, std::vector<std::string>{"plug 0"});
  UsbDevice& e = table->entry(0);
  EXPECT_EQ(e.state.load(), USB_DEV_PRESENT);
  EXPECT_EQ(e.id.port, 14);
  EXPECT_EQ(e.id.hubLevel, 2);
  EXPECT_EQ(e.id.deviceNumber, 7);
  EXPECT_EQ(e.id.vendorId, 0x1234);
  EXPECT_EQ(e.id.speed, 3);
  EXPECT_EQ(e.id.versionMajor, 2);
  EXPECT_EQ(e.id.manufacturer, "Maker");
  EXPECT_EQ(e.node, -1);
  EXPECT_EQ(e.deviceDescriptor[8], 0x34);
  ASSERT_EQ(e.configurations.size(), 1u);
  EXPECT_EQ(e.configurations[0].interfaceCount, 2);
  EXPECT_EQ(e.configurations[0].interfaces[1], 1);
  EXPECT_EQ(e.endpointsIn[USB_XFER_BULK], 1);
  EXPECT_EQ(e.endpointsOut[USB_XFER_BULK], 1);
  EXPECT_EQ(e.endpointsIn[USB_XFER_INT], 1);
  EXPECT_EQ(e.endpointsIn[USB_XFER_CONTROL], 1);
  EXPECT_EQ(e.language, 0x0409);
  ASSERT_NE(e.strings.find(0x0409, 2), nullptr);
  EXPECT_EQ(e.strings.find(0x0409, 2)->bytes, stringDescriptor("Gadget"));
  EXPECT_EQ(usbfs.openNodes(), 0);
  EXPECT_TRUE(std::filesystem::exists(root.path() + "/dev/bus/usb/001/007"));

  // A second scan finds the same device and asks it nothing.
  usbfs.clearJournal();
  EXPECT_EQ(table->scanUsbDevices(), 0);
  EXPECT_TRUE(usbfs.journal().empty());
  EXPECT_EQ(events.events.size(), 1u);
}

TEST_F(UsbDeviceTableTest, HidDevicesAreListedOnlyWhenTheSettingAllowsThem) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice keyboard;
  keyboard.devpath = "1.1";
  keyboard.interfaceClasses = {3};
  plugVendor(keyboard);
  SysfsDevice classHid;
  classHid.devpath = "1.2";
  classHid.devnum = 3;
  classHid.deviceClass = 3;
  plugVendor(classHid);
  EXPECT_EQ(table->scanUsbDevices(), 0);
  hid.on = true;
  EXPECT_EQ(table->scanUsbDevices(), 2);
}

TEST_F(UsbDeviceTableTest, IgnoredDevicesNeverEnterTheTable) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice noDev;
  noDev.devpath = "1.1";
  noDev.hasDev = false;
  plugVendor(noDev);
  SysfsDevice hubController;
  hubController.devpath = "1.2";
  hubController.devnum = 3;
  hubController.vendor = 0x0424;
  hubController.product = 0x2740;
  plugVendor(hubController);
  EXPECT_EQ(table->scanUsbDevices(), 0);
  EXPECT_TRUE(events.events.empty());
}

TEST_F(UsbDeviceTableTest, NamesComeFromTheUsbIdsFileWhenSysfsHasNone) {
  root.writeFile("romfs/usb.ids",
                 "# comment\n0781  SanDisk Corp.\n\t5567  Cruzer Blade\n\t5568  Other\n0782  Next Vendor\n"
                 "\t1234  Not this one\n");
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "1.1";
  d.vendor = 0x0781;
  d.product = 0x5567;
  d.hasManufacturer = false;
  plugVendor(d);
  SysfsDevice unknown;
  unknown.devpath = "1.2";
  unknown.devnum = 3;
  unknown.vendor = 0x0782;
  unknown.product = 0x9999;
  unknown.hasProduct = false;
  plugVendor(unknown);
  ASSERT_EQ(table->scanUsbDevices(), 2);
  EXPECT_EQ(table->entry(0).id.manufacturer, "SanDisk Corp.");
  EXPECT_EQ(table->entry(0).id.product, "Cruzer Blade");
  EXPECT_EQ(table->entry(1).id.manufacturer, "Next Vendor");
  EXPECT_EQ(table->entry(1).id.product, "");
}

TEST_F(UsbDeviceTableTest, NamesComeFromDebiansUsbIdsFile) {
  const char* debian = "/usr/share/misc/usb.ids";
  ASSERT_TRUE(std::filesystem::exists(debian)) << "the usb.ids package provides it";
  std::filesystem::create_directories(root.path() + "/romfs");
  std::filesystem::copy_file(debian, root.path() + "/romfs/usb.ids");
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "1.1";
  d.vendor = 0x1d6b;
  d.product = 0x0002;
  d.hasManufacturer = false;
  d.hasProduct = false;
  plugVendor(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  EXPECT_EQ(table->entry(0).id.manufacturer, "Linux Foundation");
  EXPECT_EQ(table->entry(0).id.product, "2.0 root hub");
}

TEST_F(UsbDeviceTableTest, NewDeviceNumberNearTheRootIsANewDevice) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);  // hub-level limit 2
  SysfsDevice d;
  d.devpath = "1.1";
  plugVendor(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  removeSysfsDevice(usbfs.sysfsDevicesDir(), d);
  d.devnum = 9;
  plugVendor(d);
  EXPECT_EQ(table->scanUsbDevices(), 1);
  EXPECT_EQ(events.events, (std::vector<std::string>{"plug 0", "plug 1", "remove 0"}));
  EXPECT_EQ(state(0), USB_DEV_GONE);
  EXPECT_EQ(table->entry(1).id.deviceNumber, 9);
}

TEST_F(UsbDeviceTableTest, NewDeviceNumberIsKeptWhenTheLayoutHasNoHubLevelLimit) {
  makeTable(UsbLayout::ThreeBus, UsbLayout::ThreeBus);  // hub-level limit 0
  SysfsDevice d;
  d.devpath = "1";
  plugVendor(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  removeSysfsDevice(usbfs.sysfsDevicesDir(), d);
  d.devnum = 9;
  plugVendor(d);
  EXPECT_EQ(table->scanUsbDevices(), 0);
  EXPECT_EQ(events.events, std::vector<std::string>{"plug 0"});
  EXPECT_EQ(state(0), USB_DEV_PRESENT);
  EXPECT_EQ(table->entry(0).id.deviceNumber, 9);
}

TEST_F(UsbDeviceTableTest, ARemovedDeviceStaysGoneForAHundredTicks) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice a;
  a.devpath = "1.1";
  plugVendor(a);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  unplug(a);
  table->scanUsbDevices();
  EXPECT_EQ(state(0), USB_DEV_GONE);
  EXPECT_FALSE(table->isValidEntry(0, 1));

  SysfsDevice b;
  b.devpath = "1.2";
  b.devnum = 3;
  plugVendor(b);
  clock.advance(99);
  table->scanUsbDevices();
  EXPECT_EQ(state(0), USB_DEV_GONE);
  EXPECT_EQ(state(1), USB_DEV_PRESENT);

  clock.advance(1);
  SysfsDevice c;
  c.devpath = "1.3";
  c.devnum = 4;
  plugVendor(c);
  table->scanUsbDevices();
  EXPECT_EQ(state(0), USB_DEV_PRESENT);
  EXPECT_EQ(table->entry(0).id.deviceNumber, 4);
  EXPECT_EQ(events.events, (std::vector<std::string>{"plug 0", "remove 0", "plug 1", "plug 0"}));
}

TEST_F(UsbDeviceTableTest, AConnectedDeviceThatVanishesIsTakenFromItsClient) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "2.3";
  plugVendor(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  RecordingClient client;
  uint32_t serial = 0;
  ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
  EXPECT_EQ(state(0), USB_DEV_CONNECTED);
  unplug(d);
  table->scanUsbDevices();
  EXPECT_EQ(events.events, (std::vector<std::string>{"plug 0", "remove 0", "disconnect 0"}));
  EXPECT_EQ(client.taken, (std::vector<std::pair<int, int>>{{0, 8}}));
  EXPECT_EQ(state(0), USB_DEV_GONE);
  EXPECT_EQ(usbfs.openNodes(), 0);
}

TEST_F(UsbDeviceTableTest, AFullTableIgnoresFurtherDevices) {
  makeTable(UsbLayout::EightPortBus, UsbLayout::EightPortBus);  // five entries
  for (int i = 1; i <= 4; ++i) {
    for (int bus = 1; bus <= 2; ++bus) {
      SysfsDevice d;
      d.bus = bus;
      d.devnum = i + 1;
      d.devpath = "1." + std::to_string(i);
      if (bus * 10 + i <= 21) plugVendor(d);
    }
  }
  EXPECT_EQ(table->scanUsbDevices(), 5);
  EXPECT_EQ(table->scanUsbDevices(), 0);
  EXPECT_EQ(events.events.size(), 5u);
}

TEST_F(UsbDeviceTableTest, DeviceInfoOwnerAddressAndEscapedStatusTable) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "1.2";
  d.manufacturer = "<b>Evil & Co</b>";
  plugVendor(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  char text[64];
  EXPECT_EQ(table->usbDeviceInfo(0, 1, text, sizeof text), 16);
  EXPECT_STREQ(text, "<b>Evil & Co</b>");
  EXPECT_EQ(table->usbDeviceInfo(0, 1, text, 8), 0);
  EXPECT_STREQ(text, "");
  EXPECT_EQ(table->usbDeviceInfo(0, 4, text, sizeof text), 4);
  EXPECT_STREQ(text, "----");
  EXPECT_EQ(table->usbDeviceInfo(0, 5, text, sizeof text), 0);
  EXPECT_EQ(table->usbDeviceInfo(0, 6, text, sizeof text), 6);
  EXPECT_STREQ(text, "0x5678");
  EXPECT_EQ(table->usbDeviceInfo(0, 7, text, sizeof text), 6);
  EXPECT_STREQ(text, "0x1234");
  EXPECT_EQ(table->usbDeviceInfo(0, 9, text, sizeof text), 9);
  EXPECT_STREQ(text, "id err !!");
  EXPECT_EQ(table->usbDeviceInfo(1, 1, text, sizeof text), -1);
  EXPECT_EQ(table->usbDeviceInfo(40, 1, text, sizeof text), -1);

  RecordingClient client;
  uint32_t serial;
  ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
  EXPECT_EQ(table->usbDeviceInfo(0, 4, text, sizeof text), 15);
  EXPECT_STREQ(text, "192.168.000.007");
  EXPECT_EQ(table->usbDeviceInfo(0, 5, text, sizeof text), 1);
  uint8_t block[9];
  ASSERT_EQ(table->ownerAddress(0, block, sizeof block), 9);
  EXPECT_EQ(Bytes(block, block + 9), (Bytes{3, 4, 0, 0, 0, 192, 168, 0, 7}));
  EXPECT_EQ(table->ownerAddress(0, block, 8), 0);
  client.ipv4 = false;
  EXPECT_EQ(table->ownerAddress(0, block, sizeof block), 0);
  client.ipv4 = true;

  std::string html;
  table->writeUsbStatusTable(html);
  EXPECT_NE(html.find("USB[ 0] slot:02 addr:01:002 lev:2 parent:-1:18 "), std::string::npos) << html;
  EXPECT_NE(html.find("&lt;b&gt;Evil &amp; Co&lt;/b&gt; [1234]"), std::string::npos);
  EXPECT_EQ(html.find("<b>Evil"), std::string::npos);
  EXPECT_NE(html.find("0200 / 0100"), std::string::npos);
  EXPECT_NE(html.find("480MBit/s (high) 500mA"), std::string::npos);
  EXPECT_NE(html.find("Ctrl:1:1 Isoc:0:0 Bulk:1:1 Int:1:0"), std::string::npos);
  EXPECT_NE(html.find("192.168.000.007"), std::string::npos);
  EXPECT_NE(html.find("<h4> Population:"), std::string::npos);
}

struct MalformedCase {
  const char* name;
  Bytes nodeFile;
  bool added;
};

Bytes withConfig(Bytes config, int configurations = 1) {
  Bytes file = deviceDescriptor(0x1234, 0x5678, configurations);
  file.insert(file.end(), config.begin(), config.end());
  return file;
}

TEST_F(UsbDeviceTableTest, MalformedDescriptorsNeitherCrashNorHang) {
  const Bytes goodInterface = {9, 4, 0, 0, 1, 0xff, 0, 0, 0};
  const MalformedCase cases[] = {
      {"no configuration", deviceDescriptor(0x1234, 0x5678, 0), false},
      {"33 configurations", deviceDescriptor(0x1234, 0x5678, 33), false},
      {"not a device descriptor", Bytes{18, 2, 0, 2, 0, 0, 0, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, false},
      {"short device descriptor", Bytes{18, 1, 0, 2, 0}, false},
      {"zero length descriptor", withConfig({9, 2, 40, 0, 1, 1, 0, 0x80, 50, 0, 4, 0, 0, 0, 0, 0, 0, 0}), true},
      {"one byte descriptor", withConfig({9, 2, 40, 0, 1, 1, 0, 0x80, 50, 1, 4, 1, 4, 1, 4}), true},
      {"interface longer than its configuration",
       withConfig({9, 2, 20, 0, 1, 1, 0, 0x80, 50, 200, 4, 0, 0, 1, 14, 0, 0, 0, 1, 2, 3}), true},
      {"short interface", withConfig({9, 2, 16, 0, 1, 1, 0, 0x80, 50, 7, 4, 5, 0, 1, 0xff, 0}), true},
      {"endpoint of odd length", withConfig({9, 2, 23, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xff, 0, 0, 0, 5, 5, 0x81}), true},
      {"total length shorter than the content", withConfig({9, 2, 9, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xff, 0, 0, 0}),
       true},
      {"total length past the end of the node", withConfig({9, 2, 0xff, 0xff, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xff}),
       false},
      {"more configurations than announced",
       withConfig({9, 2, 9, 0, 0, 1, 0, 0x80, 50, 9, 2, 9, 0, 0, 2, 0, 0x80, 50}, 1), true},
      {"configuration of other length", withConfig({7, 2, 9, 0, 0, 1, 0, 9, 4, 0, 0, 1, 0xff, 0, 0, 0}), true},
  };
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  int devnum = 2;
  for (const MalformedCase& c : cases) {
    SysfsDevice d;
    d.devnum = devnum++;
    d.devpath = "1.1";
    d.bus = devnum;  // a bus of its own, so no case matches another
    plug(d, c.nodeFile);
    EXPECT_EQ(table->scanUsbDevices(), c.added ? 1 : 0) << c.name;
    unplug(d);
    clock.advance(200);
    table->scanUsbDevices();
    clock.advance(200);
    table->scanUsbDevices();
  }
  EXPECT_EQ(usbfs.openNodes(), 0);
}

TEST_F(UsbDeviceTableTest, OnlyTheFirstConfigurationsInterfacesAreCached) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "1.1";
  plug(d, vendorNodeFile(0x1234, 0x5678, 2));
  ASSERT_EQ(table->scanUsbDevices(), 1);
  UsbDevice& e = table->entry(0);
  ASSERT_EQ(e.configurations.size(), 2u);
  EXPECT_EQ(e.configurations[0].value(), 1);
  EXPECT_EQ(e.configurations[0].interfaceCount, 2);
  EXPECT_EQ(e.configurations[1].value(), 0);
  EXPECT_EQ(e.configurations[1].interfaceCount, 0);
}

TEST_F(UsbDeviceTableTest, ADeviceThatLetsStringsTimeOutIsAskedOnce) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "1.1";
  FakeNodeDevice& node = plugVendor(d);
  node.stringsTimeOut = true;
  ASSERT_EQ(table->scanUsbDevices(), 1);
  // String 0 for the language, then the first string; nothing more.
  EXPECT_EQ(node.stringRequests, 2);
}

TEST_F(UsbDeviceTableTest, AStringTheDeviceRefusesIsCachedAsUnavailable) {
  makeTable(UsbLayout::TwentyPort, UsbLayout::TwentyPort);
  SysfsDevice d;
  d.devpath = "1.1";
  FakeNodeDevice& node = plugVendor(d);
  node.strings.erase({0x0409, 3});
  ASSERT_EQ(table->scanUsbDevices(), 1);
  UsbDevice& e = table->entry(0);
  const UsbStringCache::Entry* serial = e.strings.find(0x0409, 3);
  ASSERT_NE(serial, nullptr);
  EXPECT_TRUE(serial->bytes.empty());
  // The OS string is kept under language 0, as hosts ask for it.
  EXPECT_NE(e.strings.find(0, 0xEE), nullptr);
}

TEST(UsbStringCacheTest, HoldsEachPairOnceAndStaysBounded) {
  UsbStringCache cache;
  const uint8_t bytes[] = {4, 3, 'a', 0};
  cache.add(0x0409, 1, bytes, sizeof bytes);
  cache.add(0x0409, 1, nullptr, 0);
  ASSERT_NE(cache.find(0x0409, 1), nullptr);
  EXPECT_EQ(cache.find(0x0409, 1)->bytes.size(), 4u);
  for (int i = 0; i < 300; ++i) cache.add(static_cast<uint16_t>(i), 7, nullptr, 0);
  EXPECT_EQ(cache.size(), UsbStringCache::kCapacity);
  EXPECT_EQ(cache.find(0x0409, 1), nullptr);
  EXPECT_NE(cache.find(299, 7), nullptr);
}

}  // namespace
