// Configuration changes of a connected device, with the special ways of the
// devices that need them, as the usbfs requests they issue.
#include "usbserver/configuration_change.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "usb_table_fixture.h"
#include "usbserver/usb_device.h"

namespace {

using Journal = std::vector<std::string>;

// A connected two-configuration vendor device (configuration 1:
// interfaces 0 and 1; configuration 2: interfaces 5 and 6) over the
// in-memory usbfs, in a root of its own.
class ConnectedDevice {
 public:
  ConnectedDevice(int vendor, int product) {
    std::filesystem::create_directories(usbfs.sysfsDevicesDir());
    table = std::make_unique<UsbDeviceTable>(usbfs, clock, events, hid, UsbLayout::TwentyPort,
                                             UsbLayout::TwentyPort, sysPath("/romfs/usb.ids"));
    SysfsDevice device;
    device.devpath = "1.2";
    device.vendor = vendor;
    device.product = product;
    writeSysfsDevice(usbfs.sysfsDevicesDir(), device);
    usbfs.addDevice(device.bus, device.devnum).nodeFile = vendorNodeFile(vendor, product, 2);
    EXPECT_EQ(table->scanUsbDevices(), 1);
    uint32_t serial;
    EXPECT_EQ(table->takeDevice(0, owner, serial), UsbResult::ok());
    usbfs.clearJournal();
  }
  ConfigurationOutcome change(int value, std::vector<uint8_t> settings = {}) {
    UsbDevice& entry = table->entry(0);
    std::lock_guard<std::mutex> guard(entry.mutex);
    return changeConfiguration(usbfs, entry, value, settings);
  }
  int current() { return table->entry(0).currentConfiguration; }

  TempRoot root;
  FakeUsbfs usbfs{root.path()};
  FakeClock clock;
  RecordingEvents events;
  HidSetting hid;
  RecordingClient owner;
  std::unique_ptr<UsbDeviceTable> table;
};

struct Case {
  const char* what;
  int vendor;
  int product;
  int before;  // configuration set first (0: none)
  bool secondKnown;  // the second configuration's record was fetched from the device
  int value;
  int result551A;
  int resetResult;
  Journal requests;
  UsbResult result;
  bool cleanup;
  int current;  // configuration index afterwards
};

TEST(ConfigurationChange, RequestsOfEachDeviceKind) {
  const UsbResult ok = UsbResult::ok();
  const Case cases[] = {
      {"ordinary device", 0x1234, 0x5678, 0, false, 1, -ENOTTY, 0,
       {"setConfiguration 1", "claim 0", "claim 1"}, ok, false, 0},
      {"ordinary device, same configuration again", 0x1234, 0x5678, 1, false, 1, -ENOTTY, 0, {}, ok, false, 0},
      {"ordinary device, unconfigured", 0x1234, 0x5678, 1, false, 0, -ENOTTY, 0,
       {"release 0", "release 1", "setConfiguration 0"}, ok, false, -1},
      // Only the first configuration is cached at plug-in.
      {"ordinary device, second configuration", 0x1234, 0x5678, 1, false, 2, -ENOTTY, 0,
       {"release 0", "release 1", "setConfiguration 2"}, UsbResult::error(53), true, -1},
      {"ordinary device, unknown value", 0x1234, 0x5678, 0, false, 7, -ENOTTY, 0,
       {"setConfiguration 7"}, UsbResult::error(53), true, -1},
      {"126f:1165 takes configuration 1 as set", 0x126f, 0x1165, 0, false, 1, -ENOTTY, 0, {}, ok, false, 0},
      {"126f:1165 unconfigured", 0x126f, 0x1165, 0, false, 0, -ENOTTY, 0, {"setConfiguration 0"}, ok, false, -1},
      {"110a:1151 is configured again", 0x110a, 0x1151, 1, false, 1, -ENOTTY, 0,
       {"release 0", "release 1", "setConfiguration 1", "claim 0", "claim 1"}, ok, false, 0},
      {"110a:1151 above configuration 1", 0x110a, 0x1151, 0, true, 2, 0, 0,
       {"551A", "setConfiguration 0", "setConfiguration 2"}, ok, false, 1},
      {"088e:5036 goes through configuration 0", 0x088e, 0x5036, 0, false, 1, -ENOTTY, 0,
       {"setConfiguration 0", "setConfiguration 1", "claim 0", "claim 1"}, ok, false, 0},
      {"0819:0101 goes through configuration 0", 0x0819, 0x0101, 0, false, 1, -ENOTTY, 0,
       {"setConfiguration 0", "setConfiguration 1", "claim 0", "claim 1"}, ok, false, 0},
      {"0d46 unconfigured by request 0x551A", 0x0d46, 0x0001, 1, false, 0, 0, 0,
       {"release 0", "release 1", "551A"}, ok, false, -1},
      {"0d46 on a kernel without request 0x551A", 0x0d46, 0x0002, 0, false, 0, -ENOTTY, 0,
       {"551A", "reset"}, ok, true, -1},
      {"0d46 gone during request 0x551A, reset fails", 0x0d46, 0x0003, 0, false, 0, -ENODEV, -EIO,
       {"551A", "reset"}, UsbResult::error(EIO), true, -1},
      {"0d46 with another failure", 0x0d46, 0x0004, 0, false, 0, -EPROTO, 0, {"551A"}, ok, true, -1},
      {"0d46 with a non-zero value", 0x0d46, 0x0005, 0, false, 1, -ENOTTY, 0,
       {"setConfiguration 1", "claim 0", "claim 1"}, ok, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectedDevice d(c.vendor, c.product);
    if (c.before) {
      ASSERT_EQ(d.change(c.before).result, UsbResult::ok());
      d.usbfs.clearJournal();
    }
    if (c.secondKnown) d.table->entry(0).configurations.at(1).descriptor[5] = 2;
    d.usbfs.setRequest551AResult(c.result551A);
    d.usbfs.setResetResult(c.resetResult);
    const ConfigurationOutcome outcome = d.change(c.value);
    EXPECT_EQ(d.usbfs.journal(), c.requests);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.cleanup, c.cleanup);
    EXPECT_EQ(d.current(), c.current);
  }
}

TEST(ConfigurationChange, InterfaceSettingsFollowTheClaimsAndAFailureAsksForACleanUp) {
  ConnectedDevice d(0x1234, 0x5678);
  ConfigurationOutcome outcome = d.change(1, {1, 1, 0, 1});
  EXPECT_EQ(outcome.result, UsbResult::ok());
  EXPECT_EQ(d.usbfs.journal(), (Journal{"setConfiguration 1", "claim 0", "claim 1", "setInterface 1 1", "setInterface 0 1"}));
  d.usbfs.clearJournal();
  // The fake refuses alternate settings above 1.
  outcome = d.change(0);
  d.usbfs.clearJournal();
  outcome = d.change(1, {0, 2, 1, 0});
  EXPECT_EQ(outcome.result, UsbResult::error(EINVAL));
  EXPECT_TRUE(outcome.cleanup);
  EXPECT_EQ(d.usbfs.journal(), (Journal{"setConfiguration 1", "claim 0", "claim 1", "setInterface 0 2"}));
}

}  // namespace
