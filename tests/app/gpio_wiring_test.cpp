// The GPIO device as the process wires it: the adapters other subsystems
// receive, the supervision loop's port, the power event hook and the choice
// of the Blinker. The simulated driver's journal and state are the oracle.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/appliance_gpio.h"
#include "app/device_param_effects.h"
#include "app/gpio_adapters.h"
#include "app/slot_card_mirror.h"
#include "app/supervisor_port.h"
#include "core/gpio_requests.h"
#include "core/status_display.h"
#include "core/task.h"
#include "core/task_message.h"
#include "core/task_table.h"
#include "net/net_interface.h"
#include "notify/event_codes.h"
#include "notify/event_ring.h"
#include "notify/notify_registry.h"
#include "params/param_classes.h"
#include "params/parameters.h"
#include "params/product.h"
#include "sim/net/sim_phy_access.h"
#include "sim/net/sim_vlan_driver.h"
#include "sim/sim_command_registry.h"
#include "tests/core/gpio_test_support.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kPortLed = 0;
constexpr uint32_t kPanel = 20;
constexpr uint32_t kSingleLed = 30;

std::vector<uint32_t> lastWords(const GpioBench& bench, unsigned long request) {
  auto records = bench.requests(request);
  return records.empty() ? std::vector<uint32_t>{} : records.back().words;
}

TEST(GpioAdapters, UsbPortOutputsDriveLedsPowerAndReadTheCardSlot) {
  GpioBench bench(kPortLed, 4);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  GpioUsbPortOutputs outputs(*bench.device);

  // Port-LED board: LED 2 has bits 10 and 18; colour 1 steady, colour 2 blinking.
  outputs.setPortLed(2, 1, 0);
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x40400, 0x400, 0, 0, 0}));
  outputs.setPortLed(2, 2, 4);
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x40000, 0x1, 0x3, 1, 250}));

  outputs.setPortPower(3, true);
  EXPECT_TRUE(bench.driver->outputs() & 0x8);
  outputs.setPortPower(3, false);
  EXPECT_FALSE(bench.driver->outputs() & 0x8);

  int value = -1;
  ASSERT_TRUE(outputs.cardPresence(value));
  EXPECT_EQ(value, 0);
  bench.driver->setCard(true);
  ASSERT_TRUE(outputs.cardPresence(value));
  EXPECT_NE(value, 0);
  bench.driver->failNext(kGpioCardPresence, 1);
  value = -1;
  EXPECT_FALSE(outputs.cardPresence(value));
  EXPECT_EQ(value, -1);

  outputs.signalAddress(true);
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x2, 0x5, 0x3FF, 1, 250}));
  outputs.signalAddress(false);
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x2, 0x15, 0x3FF, 1, 250}));
  // One flash of the activity LED.
  outputs.flashActivity();
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x1, 0x1, 0x3, 0, 100}));
}

TEST(GpioAdapters, AddressIndicatorAndRelaySwitch) {
  GpioBench bench(kPortLed, 0, 210);
  bench.params.sw_features->setValue(FeatureRelay);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));

  GpioAddressIndicator indicator(*bench.device);
  indicator.signalNoAddress();
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x2, 0x15, 0x3FF, 1, 250}));
  indicator.signalAddressSet();
  EXPECT_EQ(lastWords(bench, kGpioLedPattern), (std::vector<uint32_t>{0x2, 0x5, 0x3FF, 1, 250}));

  // The relay line is active low.
  GpioRelaySwitch relay(*bench.device);
  relay.setRelay(true);
  EXPECT_EQ(bench.driver->outputs() & (1u << 29), 0u);
  relay.setRelay(false);
  EXPECT_EQ(bench.driver->outputs() & (1u << 29), 1u << 29);
}

// The supervision port reads settings from the process-wide parameters, so
// its device works on them too.
struct PortBench {
  explicit PortBench(uint32_t gpioHwProject, uint32_t productId = 200) {
    product.gpio_hw_project = gpioHwProject;
    product.usb_ports_phy = 4;
    product.product_id = productId;
    product.phy0_addr = 4;
    SimGpioProfile profile = simGpioProfileFor(gpioHwProject, 4);
    profile.cardSlot = true;
    driver = std::make_unique<SimGpioDriver>(profile);
    device = std::make_unique<GpioDevice>(*driver, paramTable(), product);
    wired = std::make_unique<NetInterface>(phy, vlans, NetBoard{});
    port = std::make_unique<ApplianceSupervisorPort>(*wired, *device, product);
  }

  TempRoot root;
  ProductInfo product;
  SimPhyAccess phy;
  SimVlanDriver vlans;
  std::unique_ptr<SimGpioDriver> driver;
  std::unique_ptr<GpioDevice> device;
  std::unique_ptr<NetInterface> wired;
  std::unique_ptr<ApplianceSupervisorPort> port;
};

TEST(SupervisorPort, LinkChangesAddAndRemoveE5OnThePanelDisplay) {
  PortBench bench(kPanel);
  ASSERT_TRUE(bench.device->open());
  parameters().disp_lnk->setValue(1);

  bench.port->linkChanged(0, false);
  const DisplayCommand shown = bench.driver->display();
  EXPECT_EQ(shown.text, uint32_t{'E'} << 24 | uint32_t{'5'} << 8);
  EXPECT_EQ(shown.blinkEnable, 1u);
  EXPECT_EQ(shown.blinkPeriodMs, 200u);
  EXPECT_EQ(parameters().disp_erVals->storedText(), "E5");

  bench.port->linkChanged(0x11, true);
  EXPECT_EQ(parameters().disp_erVals->storedText(), "");

  // disp_lnk off: the code is neither added nor shown.
  parameters().disp_lnk->setValue(0);
  const uint64_t before = bench.driver->journal().size();
  bench.port->linkChanged(0, false);
  EXPECT_EQ(bench.driver->journal().size(), before);
  EXPECT_EQ(parameters().disp_erVals->storedText(), "");
}

TEST(SupervisorPort, InputsComeFromTheDriverAndFailuresAreReported) {
  PortBench bench(kPanel);
  uint32_t word = 0;
  bool card = true;
  EXPECT_FALSE(bench.port->readPowerInputs(word)) << "closed device";
  EXPECT_FALSE(bench.port->readCardPresence(card));
  ASSERT_TRUE(bench.device->open());

  bench.driver->setPowerInput(2, false);
  ASSERT_TRUE(bench.port->readPowerInputs(word));
  EXPECT_EQ(word, 0x1u);
  bench.driver->setCard(true);
  ASSERT_TRUE(bench.port->readCardPresence(card));
  EXPECT_TRUE(card);
  bench.driver->setCard(false);
  ASSERT_TRUE(bench.port->readCardPresence(card));
  EXPECT_FALSE(card);
  bench.driver->failNext(kGpioInputs, 1);
  EXPECT_FALSE(bench.port->readPowerInputs(word));
}

TEST(SupervisorPort, CardSlotLedKeepsThePortColourItHadBefore) {
  PortBench bench(kPortLed, 161);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  auto ledZero = [&] { return bench.device->ledState(0); };

  bench.port->showCard(true);
  EXPECT_EQ(ledZero(), 1) << "no colour seen yet: colour 1";
  bench.device->setLed(0, 2, 0);
  bench.port->showCard(false);
  EXPECT_EQ(ledZero(), 0);
  bench.port->showCard(true);
  EXPECT_EQ(ledZero(), 2);
}

// The display's power event reaches the notification service's ring.
TEST(ApplianceGpio, PowerInputChangesArePostedAsEvents) {
  TempRoot root;
  ProductInfo product;
  product.gpio_hw_project = kPanel;
  product.usb_ports_phy = 4;
  product.product_id = 200;
  ApplianceGpio gpio(paramTable(), product, true);
  SimCommandRegistry commands;
  gpio.registerSimCommands(commands);
  ASSERT_TRUE(gpio.device().open());
  EventRing ring;
  registerEventRing(&ring);

  gpio.device().display().poll();  // the first reading is the baseline
  ASSERT_TRUE(commands.run("power 1 off").ok);
  gpio.device().display().poll();
  registerEventRing(nullptr);

  const EventRing::MailBatch batch = ring.pendingMail();
  EXPECT_EQ(batch.codes, NOTI_POWER);
  ASSERT_EQ(batch.slotBits, 0x1u);
  EXPECT_EQ(ring.slot(0).port, 0x2);
}

// Changed settings reach the outputs and the display through the effects.
TEST(DeviceParamEffects, SettingsSwitchPortPowerRelayAndDisplay) {
  PortBench bench(kPanel, 200);
  ParamTable& table = paramTable();
  table.setUsbPortCount(4);
  parameters().sw_features->setValue(FeatureRelay | FeatureDisplay);
  ASSERT_TRUE(bench.device->open());
  ASSERT_TRUE(bench.device->start(nullptr));
  DeviceParamEffects effects(*bench.device, *bench.wired);
  table.find("disp_def")->set("DS");
  table.resetModified();
  table.setEffects(&effects);

  table.find("wyk_poff_2")->set("on");
  table.resetModified();
  EXPECT_EQ(bench.driver->outputs() & 0x2, 0u) << "port 2 powered off";
  table.find("wyk_poff_2")->set("off");
  table.resetModified();
  EXPECT_EQ(bench.driver->outputs() & 0x2, 0x2u);

  table.find("relay_ctrl")->set("fix");
  table.find("relay_on")->set("on");
  table.resetModified();
  EXPECT_EQ(bench.driver->outputs() & (1u << 29), 0u) << "relay on: its line low";
  table.find("relay_on")->set("off");
  table.resetModified();
  EXPECT_EQ(bench.driver->outputs() & (1u << 29), 1u << 29);

  table.find("disp_def")->set("AB");
  table.resetModified();
  EXPECT_EQ(bench.driver->display().text, uint32_t{'A'} << 24 | uint32_t{'B'} << 8);

  // Without a card service the card is absent: "E4" (missing) with disp_sdc.
  EXPECT_EQ(effects.sdCardState(), 0);
  table.find("disp_sdc")->set("off");
  table.resetModified();
  table.find("disp_sdc")->set("on");
  table.resetModified();
  EXPECT_EQ(parameters().disp_erVals->storedText(), "E4");
  effects.setCardSide([] { return 3; }, {});
  EXPECT_EQ(effects.sdCardState(), 3);
  table.setEffects(nullptr);
}

// The card mirrors the flash only with the feature, autoSync and a usable card.
TEST(SlotCardMirror, CopiesFlashFilesOnlyToAUsableCardThatBacksUpTheFlash) {
  PortBench bench(kPanel, 200);
  DeviceParamEffects effects(*bench.device, *bench.wired);
  SlotCardMirror card(paramTable(), effects);
  bench.root.writeFile("/flash/cert_srv.pem", "certificate\n");
  bench.root.makeDirs("/var/slot1");
  const std::string copy = bench.root.path() + "/var/slot1/cert_srv.pem";
  int cardState = 0;
  effects.setCardSide([&] { return cardState; }, {});

  struct Row {
    uint32_t features;
    const char* autoSync;
    int cardState;
    bool backsUp;
  };
  const Row rows[] = {
      {FeatureSdCard, "on", 3, true},
      {FeatureSdCard, "on", 0, false},
      {FeatureSdCard, "on", 2, false},
      {FeatureSdCard, "off", 3, false},
      {0, "on", 3, false},
  };
  for (const Row& row : rows) {
    parameters().sw_features->setValue(static_cast<int32_t>(row.features));
    paramTable().find("autoSync")->set(row.autoSync);
    cardState = row.cardState;
    ::unlink(copy.c_str());
    EXPECT_EQ(card.backsUpFlash(), row.backsUp) << row.features << row.autoSync << row.cardState;
    EXPECT_EQ(card.mirrorToCard("/flash/cert_srv.pem"), row.backsUp ? 1 : 0);
    EXPECT_EQ(readFileText(copy), row.backsUp ? "certificate\n" : "");
  }
}

bool listed(const char* name) {
  bool found = false;
  TaskTable::instance().forEach([&](Task& task) { found = found || std::string(task.name()) == name; });
  return found;
}

void endAllTasks() {
  for (int i = 0; i < 500 && listedTaskCount() > 0; ++i) {
    TaskMessage msg{};
    msg.type = MSG_TERMINATE;
    broadcast(&msg);
    std::this_thread::sleep_for(10ms);
  }
}

// The Blinker drives the status LED only where the driver plays no
// patterns; the decision waits for the GPio task's probe.
TEST(ApplianceGpio, BlinkerRunsOnlyOnBoardsWithoutLedPatterns) {
  struct Row {
    uint32_t project;
    bool blinker;
  };
  for (const Row row : {Row{kSingleLed, true}, Row{kPortLed, false}}) {
    TempRoot root;
    ProductInfo product;
    product.gpio_hw_project = row.project;
    product.usb_ports_phy = 4;
    product.product_id = 121;
    ApplianceGpio gpio(paramTable(), product, true);
    ASSERT_TRUE(gpio.openAndStart());
    gpio.setUpLedRegister();
    gpio.startBlinkerIfNeeded({});
    EXPECT_TRUE(listed("GPio"));
    EXPECT_EQ(listed("Blinker"), row.blinker) << row.project;
    endAllTasks();
    ASSERT_EQ(listedTaskCount(), 0);
    gpio.close();
  }
}

}  // namespace
