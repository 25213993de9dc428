#pragma once
// A device table over a synthetic sysfs tree and the in-memory usbfs.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "core/paths.h"
#include "usb_test_support.h"
#include "usbserver/usb_device_table.h"

class HidSetting : public UsbDiscoverySettings {
 public:
  bool listHidDevices() const override { return on; }
  bool on = false;
};

class UsbTableFixture : public ::testing::Test {
 protected:
  UsbTableFixture() { std::filesystem::create_directories(usbfs.sysfsDevicesDir()); }

  void makeTable(UsbLayout portMap, UsbLayout tableLayout) {
    table = std::make_unique<UsbDeviceTable>(usbfs, clock, events, hid, portMap, tableLayout,
                                             sysPath("/romfs/usb.ids"));
  }
  FakeNodeDevice& plug(const SysfsDevice& d, Bytes nodeFile) {
    writeSysfsDevice(usbfs.sysfsDevicesDir(), d);
    FakeNodeDevice& node = usbfs.addDevice(d.bus, d.devnum);
    node.nodeFile = std::move(nodeFile);
    return node;
  }
  FakeNodeDevice& plugVendor(const SysfsDevice& d) { return plug(d, vendorNodeFile(d.vendor, d.product)); }
  void unplug(const SysfsDevice& d) {
    removeSysfsDevice(usbfs.sysfsDevicesDir(), d);
    usbfs.unplug(d.bus, d.devnum);
  }
  int state(int index) { return table->entry(index).state.load(); }

  TempRoot root;
  FakeUsbfs usbfs{root.path()};
  FakeClock clock;
  RecordingEvents events;
  HidSetting hid;
  std::unique_ptr<UsbDeviceTable> table;
};
