// The device events over a real device table (synthetic sysfs, in-memory
// usbfs), the real parameter tables, a registered event ring and relay
// controller, and port outputs that keep a journal.
#include "usbserver/usb_port_events.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/paths.h"
#include "notify/event_codes.h"
#include "notify/event_ring.h"
#include "notify/notify_registry.h"
#include "notify/relay_controller.h"
#include "params/parameters.h"
#include "params/param_table.h"
#include "usb_test_support.h"
#include "usbserver/usb_device_table.h"

namespace {

class FakeOutputs : public UsbPortOutputs {
 public:
  void flashActivity() override {}
  void setPortLed(int portIndex, int colour, int rate) override {
    journal.push_back("led " + std::to_string(portIndex) + " " + std::to_string(colour) + " " +
                      std::to_string(rate));
  }
  void setPortPower(int portIndex, bool on) override {
    journal.push_back("power " + std::to_string(portIndex) + (on ? " on" : " off"));
  }
  void beep(int kind) override { journal.push_back("beep " + std::to_string(kind)); }
  bool cardPresence(int& value) override {
    if (cardWord < 0) return false;
    value = cardWord;
    return true;
  }
  void signalAddress(bool addressSet) override { journal.push_back(addressSet ? "address" : "no address"); }

  std::vector<std::string> take() { return std::exchange(journal, {}); }

  std::vector<std::string> journal;
  int cardWord = -1;  // -1: the driver does not answer
};

class NoRelay : public RelaySwitch {
 public:
  void setRelay(bool on) override { state = on; }
  bool state = false;
};

class HidOff : public UsbDiscoverySettings {
 public:
  bool listHidDevices() const override { return false; }
};

class UsbPortEventsTest : public ::testing::Test {
 protected:
  UsbPortEventsTest() {
    std::filesystem::create_directories(usbfs.sysfsDevicesDir());
    registerEventRing(&ring);
    installRelayController(&relay);
    parameters.relay_ctrl->setFromText("eve");
    for (P3List* choice : {parameters.relay_eve_ucon, parameters.relay_eve_udis, parameters.relay_eve_uact,
                           parameters.relay_eve_udea}) {
      choice->setFromText("any");
    }
  }
  ~UsbPortEventsTest() override {
    registerEventRing(nullptr);
    installRelayController(nullptr);
  }

  void makeEvents(UsbLedScheme scheme) {
    events = std::make_unique<UsbPortEvents>(params, outputs, clock, scheme, 20, [this] { return started; });
    table = std::make_unique<UsbDeviceTable>(usbfs, clock, *events, hid, UsbLayout::ThreePortBus,
                                             UsbLayout::ThreePortBus, sysPath("/romfs/usb.ids"));
    events->setDeviceTable(table.get());
  }
  // A device on port 1..3 of the three-port layout.
  SysfsDevice device(int port, int devnum) {
    SysfsDevice d;
    d.devnum = devnum;
    d.devpath = "1." + std::to_string(port);
    d.serial = "SN" + std::to_string(devnum);
    return d;
  }
  void plug(const SysfsDevice& d) {
    writeSysfsDevice(usbfs.sysfsDevicesDir(), d);
    usbfs.addDevice(d.bus, d.devnum).nodeFile = vendorNodeFile(d.vendor, d.product);
  }
  void unplug(const SysfsDevice& d) {
    removeSysfsDevice(usbfs.sysfsDevicesDir(), d);
    usbfs.unplug(d.bus, d.devnum);
  }
  std::string slot(const char* family, int n) { return params.find(family, n)->storedText(); }
  // The codes stored in the ring so far, in order.
  std::vector<uint32_t> postedCodes() {
    std::vector<uint32_t> codes;
    for (int i = 0; i < EventRing::kSlots && ring.slot(i).code != 0; ++i) codes.push_back(ring.slot(i).code);
    return codes;
  }
  uint32_t takeRelayWord() {
    uint32_t word = static_cast<uint32_t>(parameters.relay_eves->value());
    parameters.relay_eves->setValue(0);
    return word;
  }

  TempRoot root;
  FakeUsbfs usbfs{root.path()};
  FakeClock clock;
  ParamTable params;
  Parameters parameters{params};
  FakeOutputs outputs;
  NoRelay relaySwitch;
  RelayController relay{params, relaySwitch, RelayController::kRelayFeature};
  EventRing ring;
  HidOff hid;
  bool started = false;
  std::unique_ptr<UsbPortEvents> events;
  std::unique_ptr<UsbDeviceTable> table;
};

TEST_F(UsbPortEventsTest, PlugConnectDisconnectAndRemovalFollowTheSlotParametersEventsAndRelay) {
  makeEvents(UsbLedScheme::PerPort);
  SysfsDevice d = device(2, 5);
  d.vendor = 0x0abc;
  d.product = 0x12ef;
  plug(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  ASSERT_EQ(table->entry(0).id.port, 2);
  EXPECT_EQ(slot("usb_manu_", 1), "Maker");
  EXPECT_EQ(slot("usb_prod_", 1), "Gadget");
  EXPECT_EQ(slot("usb_sern_", 1), "SN5");
  EXPECT_EQ(slot("usb_slot_", 1), "2");
  EXPECT_EQ(slot("usb_vendid_", 1), "0abc");
  EXPECT_EQ(slot("usb_prodid_", 1), "12ef");
  EXPECT_EQ(slot("usb_owner_", 1), "Available");
  EXPECT_EQ(takeRelayWord(), RELAY_UCON_2);

  RecordingClient client;
  uint32_t serial = 0;
  ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
  events->onUsbDeviceConnected(0, "host");
  EXPECT_EQ(slot("usb_owner_", 1), "host (192.168.000.007)");
  EXPECT_EQ(events->slotOwner(1), "host (192.168.000.007)");
  EXPECT_EQ(takeRelayWord(), RELAY_UACT_2);

  ASSERT_TRUE(table->dropOwner(0));
  EXPECT_EQ(slot("usb_owner_", 1), "Available");
  EXPECT_EQ(takeRelayWord(), RELAY_UDEA_2);

  unplug(d);
  table->scanUsbDevices();
  EXPECT_EQ(slot("usb_manu_", 1), "-");
  EXPECT_EQ(slot("usb_sern_", 1), "-");
  EXPECT_EQ(slot("usb_slot_", 1), "0");
  EXPECT_EQ(slot("usb_vendid_", 1), "");
  EXPECT_EQ(slot("usb_prodid_", 1), "");
  EXPECT_EQ(slot("usb_owner_", 1), "-");
  EXPECT_EQ(takeRelayWord(), RELAY_UDIS_2);

  EXPECT_EQ(postedCodes(), (std::vector<uint32_t>{NOTI_USB_ATTACHED, NOTI_USB_CONNECTED, NOTI_USB_DISCONNECTED,
                                                  NOTI_USB_DETACHED}));
  const EventRecord connected = ring.slot(1);
  EXPECT_EQ(connected.port, 2);
  EXPECT_STREQ(connected.manufacturer, "Maker");
  EXPECT_STREQ(connected.product, "Gadget");
  EXPECT_STREQ(connected.serial, "SN5");
  EXPECT_STREQ(connected.user, "host (192.168.000.007)");
  // The disconnect reports the owner before it is reset.
  EXPECT_STREQ(ring.slot(2).user, "host (192.168.000.007)");
}

TEST_F(UsbPortEventsTest, OwnerTextAndRelayCodeDependOnNameAndPort) {
  makeEvents(UsbLedScheme::PerPort);
  struct Row {
    int port;
    const char* name;
    bool ipv4;
    const char* owner;
    uint32_t connectRelay;
    uint32_t removeRelay;
  };
  const Row rows[] = {
      {1, "", true, "192.168.000.007", RELAY_UACT_1, RELAY_UDIS_1},
      {2, "host", true, "host (192.168.000.007)", RELAY_UACT_2, RELAY_UDIS_2},
      {3, "", false, "----", RELAY_UACT_2, RELAY_UDIS_2},
      // A client name cannot bring control characters into the parameter.
      {1, "a\r\nb", true, "a??b (192.168.000.007)", RELAY_UACT_1, RELAY_UDIS_1},
      // A long name is cut, at a character boundary, so that the address still fits.
      {2, "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh\xc3\xa9", true,
       "hhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhhh (192.168.000.007)", RELAY_UACT_2, RELAY_UDIS_2},
  };
  int devnum = 2;
  for (const Row& row : rows) {
    SysfsDevice d = device(row.port, devnum++);
    plug(d);
    ASSERT_EQ(table->scanUsbDevices(), 1);
    takeRelayWord();
    RecordingClient client;
    client.ipv4 = row.ipv4;
    uint32_t serial = 0;
    ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
    events->onUsbDeviceConnected(0, row.name);
    EXPECT_EQ(slot("usb_owner_", 1), row.owner) << row.port;
    EXPECT_EQ(takeRelayWord(), row.connectRelay);
    unplug(d);
    table->scanUsbDevices();
    // The removal comes first, then the disconnect of the client's device.
    EXPECT_EQ(takeRelayWord(), row.removeRelay | (row.port == 1 ? RELAY_UDEA_1 : RELAY_UDEA_2));
    clock.advance(UsbDeviceTable::kGoneHoldTicks + 1);
    table->scanUsbDevices();
  }
}

TEST_F(UsbPortEventsTest, ADeviceWithoutNamesShowsQuestionMarks) {
  makeEvents(UsbLedScheme::PerPort);
  SysfsDevice bare = device(1, 2);
  bare.hasManufacturer = false;
  bare.hasProduct = false;
  bare.serial = "";
  plug(bare);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  EXPECT_EQ(slot("usb_manu_", 1), "?");
  EXPECT_EQ(slot("usb_prod_", 1), "?");
  EXPECT_EQ(slot("usb_sern_", 1), "?");
  EXPECT_STREQ(ring.slot(0).manufacturer, "");
}

TEST_F(UsbPortEventsTest, PortLedCountersFollowDevicesAndConnections) {
  makeEvents(UsbLedScheme::PerPort);
  parameters.sw_features->setValue(0x100000);  // beep at plug-in
  SysfsDevice a = device(2, 2);
  SysfsDevice b = device(2, 3);
  b.devpath = "1.2.1";  // behind a hub on port 2
  plug(a);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 1 1 0", "beep 0"}));
  plug(b);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  ASSERT_EQ(table->entry(1).id.port, 2);
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"beep 0"}));

  RecordingClient client;
  uint32_t serial = 0;
  ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
  events->onUsbDeviceConnected(0, "");
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 1 2 0"}));
  // Counter 201: the disconnect leaves the port lit for its devices, and an
  // administrator's disconnect followed by the client's changes nothing more.
  events->onUsbDeviceDisconnected(0);
  events->onUsbDeviceDisconnected(0);
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 1 1 0"}));

  unplug(a);
  table->scanUsbDevices();
  EXPECT_TRUE(outputs.take().empty());
  unplug(b);
  table->scanUsbDevices();
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 1 0 0"}));
}

TEST_F(UsbPortEventsTest, TheCommonLedCountsConnectionsAndReturnsToTheAddressPattern) {
  makeEvents(UsbLedScheme::Common);
  parameters.ip_addr->setFromText("169.254.3.4");
  SysfsDevice a = device(1, 2);
  SysfsDevice b = device(3, 3);
  plug(a);
  plug(b);
  ASSERT_EQ(table->scanUsbDevices(), 2);
  EXPECT_TRUE(outputs.take().empty());
  events->onUsbDeviceConnected(0, "x");
  events->onUsbDeviceConnected(1, "y");
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 0 1 0", "led 0 1 0"}));
  events->onUsbDeviceDisconnected(0);
  EXPECT_TRUE(outputs.take().empty());
  events->onUsbDeviceDisconnected(1);
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"no address"}));
  // A disconnect more than connects never counts below zero.
  events->onUsbDeviceDisconnected(1);
  events->onUsbDeviceConnected(1, "y");
  parameters.ip_addr->setFromText("198.18.0.2");
  events->onUsbDeviceDisconnected(1);
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 0 1 0", "address"}));
}

TEST_F(UsbPortEventsTest, ADisconnectSwitchesThePortOffForItsDurationThenPowerReturns) {
  makeEvents(UsbLedScheme::PerPort);
  parameters.wyk_poffdura_[2]->setValue(5);
  SysfsDevice d = device(3, 2);
  plug(d);
  ASSERT_EQ(table->scanUsbDevices(), 1);
  RecordingClient client;
  uint32_t serial = 0;
  ASSERT_EQ(table->takeDevice(0, client, serial), UsbResult::ok());
  events->onUsbDeviceConnected(0, "");
  outputs.take();
  EXPECT_EQ(events->portPowerOffState(3), 0);
  events->onUsbDeviceDisconnected(0);
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 2 1 0", "power 2 off"}));
  EXPECT_EQ(events->portPowerOffState(3), 2);
  clock.advance(50);
  events->restorePortPower();
  EXPECT_TRUE(outputs.take().empty());
  clock.advance(1);
  events->restorePortPower();
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"power 2 on"}));
  EXPECT_EQ(events->portPowerOffState(3), 0);
}

TEST_F(UsbPortEventsTest, PowerOffTimersIgnoreIndicesOutsideThePortsAndRestoreZeroTicksAfterATick) {
  makeEvents(UsbLedScheme::PerPort);
  events->powerOffPort(20, 10);
  events->powerOffPort(-1, 10);
  EXPECT_TRUE(outputs.take().empty());
  events->powerOffPort(0, 0);
  events->powerOffPort(19, 100);
  events->restorePortPower();
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"power 0 off", "power 19 off"}));
  clock.advance(1);
  events->restorePortPower();
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"power 0 on"}));
  clock.advance(100);
  events->restorePortPower();
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"power 19 on"}));
}

TEST_F(UsbPortEventsTest, PortOneOfTheCardReaderVariantIsTheCardSlot) {
  makeEvents(UsbLedScheme::PerPort);
  struct Row {
    int cardWord;
    int port;
    int state;
  };
  const Row rows[] = {{0, 1, 1}, {1, 1, 0}, {-1, 1, 0}, {0, 2, 0}};
  for (const Row& row : rows) {
    outputs.cardWord = row.cardWord;
    EXPECT_EQ(events->portPowerOffState(row.port), row.state) << row.cardWord << " " << row.port;
  }
  // A device in the card slot is announced, but has no LED, slot text or relay signal.
  outputs.cardWord = 1;
  plug(device(1, 2));
  ASSERT_EQ(table->scanUsbDevices(), 1);
  EXPECT_EQ(postedCodes(), std::vector<uint32_t>{NOTI_USB_ATTACHED});
  EXPECT_EQ(slot("usb_manu_", 1), "-");
  EXPECT_TRUE(outputs.take().empty());
  EXPECT_EQ(takeRelayWord(), 0u);
}

TEST_F(UsbPortEventsTest, WithoutANotificationTaskParametersAndOutputsStillFollow) {
  registerEventRing(nullptr);
  makeEvents(UsbLedScheme::PerPort);
  plug(device(2, 2));
  ASSERT_EQ(table->scanUsbDevices(), 1);
  EXPECT_TRUE(postedCodes().empty());
  EXPECT_EQ(slot("usb_manu_", 1), "Maker");
  EXPECT_EQ(outputs.take(), (std::vector<std::string>{"led 1 1 0"}));
  EXPECT_EQ(takeRelayWord(), RELAY_UCON_2);
}

TEST_F(UsbPortEventsTest, EventsForEntriesOutsideTheTableOrThePortsDoNothing) {
  makeEvents(UsbLedScheme::PerPort);
  events->onUsbDevicePlugged(-1);
  events->onUsbDevicePlugged(UsbDeviceTable::kCapacity);
  events->onUsbDeviceConnected(0, "x");  // an empty entry has port 0
  events->onUsbDeviceDisconnected(0);
  events->onUsbDeviceRemoved(0);
  EXPECT_TRUE(postedCodes().empty());
  EXPECT_TRUE(outputs.take().empty());
  EXPECT_EQ(slot("usb_owner_", 1), "-");
}

TEST_F(UsbPortEventsTest, SettingsAreReadAtTheTimeOfTheRequest) {
  makeEvents(UsbLedScheme::PerPort);
  parameters.sys_name->setFromText(std::string(70, 'n'));
  parameters.wyk_tag_[3]->setFromText("printer");
  parameters.wyk_heartbeat->setValue(30);
  parameters.wyk_port->setValue(9000);
  parameters.wyk_sslport->setValue(0);
  EXPECT_EQ(events->sysName(), std::string(64, 'n'));
  EXPECT_EQ(events->portTag(4), "printer");
  EXPECT_EQ(events->portTag(5), "");
  EXPECT_EQ(events->portTag(21), "");
  EXPECT_EQ(events->heartbeatSeconds(), 30);
  EXPECT_EQ(events->plainPort(), 9000);
  EXPECT_EQ(events->tlsPort(), 0);
  EXPECT_EQ(events->portCount(), 20);
  EXPECT_FALSE(events->portPowerSwitching());
  parameters.sw_features->setValue(0x8000);
  EXPECT_TRUE(events->portPowerSwitching());
  EXPECT_FALSE(events->devicesStarted());
  started = true;
  EXPECT_TRUE(events->devicesStarted());
}

}  // namespace
