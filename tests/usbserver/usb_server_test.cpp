// The server's assembly from the product identity: which layout, table
// size, port map and LED scheme each model gets, and the device-slot
// parameters it shows.
#include "usbserver/usb_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product.h"
#include "params/product_info.h"
#include "tests/usbserver/no_port_outputs.h"
#include "usb_test_support.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_port_events.h"
#include "usbserver/usb_product_layout.h"

namespace {

TEST(UsbProductLayout, EachLayoutServesTheModelsOfItsVariantGroups) {
  const std::map<UsbLayout, std::multiset<VariantGroup>> expected = {
      {UsbLayout::TwoPortHub, {VariantGroup::Basic, VariantGroup::WlanOnly}},
      {UsbLayout::EightPortBus, {VariantGroup::FourPortBasic}},
      {UsbLayout::ChainedHub, {VariantGroup::ManagedPortsVlan}},
      {UsbLayout::ThreeBus, {VariantGroup::ManagedPortsVlan}},
      {UsbLayout::ThreePortBus, {VariantGroup::ManagedPortsVlan, VariantGroup::ManagedPortsVlan}},
      {UsbLayout::TwentyPort, {VariantGroup::DisplayModel}},
      {UsbLayout::TwoBus, {VariantGroup::RelayModel}},
  };
  std::map<UsbLayout, std::multiset<VariantGroup>> actual;
  for (const UsbProductLayout& row : usbProductLayouts()) actual[row.layout].insert(variantGroupOf(row.number));
  EXPECT_EQ(actual, expected);
}

TEST(UsbProductLayout, NumbersSelectPortMapTableSizeAndHubLimit) {
  struct Case {
    uint32_t number;
    UsbLayout layout;
    int tableSize;
    int hubLevelLimit;
  };
  const Case cases[] = {
      {111, UsbLayout::TwoPortHub, 6, 2},    {131, UsbLayout::TwoPortHub, 6, 2},
      {121, UsbLayout::EightPortBus, 5, 1},  {181, UsbLayout::ChainedHub, 16, 2},
      {182, UsbLayout::ThreePortBus, 12, 0}, {183, UsbLayout::ThreePortBus, 12, 0},
      {184, UsbLayout::ThreeBus, 12, 0},     {200, UsbLayout::TwentyPort, 40, 2},
      {210, UsbLayout::TwoBus, 10, 0},       {185, UsbLayout::NoPortMap, 5, 1},
      {0, UsbLayout::NoPortMap, 5, 1},       {999, UsbLayout::NoPortMap, 5, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.number);
    EXPECT_EQ(usbLayoutOf(c.number), c.layout);
    EXPECT_EQ(usbLayoutSize(usbLayoutOf(c.number)).tableSize, c.tableSize);
    EXPECT_EQ(usbLayoutSize(usbLayoutOf(c.number)).hubLevelLimit, c.hubLevelLimit);
  }
  EXPECT_EQ(devpathToSlot(usbLayoutOf(200), 1, "3.4"), 14);
  EXPECT_EQ(devpathToSlot(usbLayoutOf(131), 1, "1.3"), -1);
  EXPECT_EQ(devpathToSlot(usbLayoutOf(121), 3, "1.2"), 6);
  EXPECT_EQ(devpathToSlot(usbLayoutOf(999), 1, "1.1"), -1);
}

TEST(UsbProductLayout, LedSchemeAndActivityFollowTheModel) {
  struct Case {
    uint32_t product;
    UsbLedScheme scheme;
    bool activity;
  };
  const Case cases[] = {
      {999, UsbLedScheme::Common, false}, {121, UsbLedScheme::Common, false}, {131, UsbLedScheme::Common, false},
      {141, UsbLedScheme::Common, false}, {151, UsbLedScheme::Common, false}, {161, UsbLedScheme::PerPort, false},
      {170, UsbLedScheme::PerPort, false}, {181, UsbLedScheme::PerPort, false}, {190, UsbLedScheme::PerPort, false},
      {200, UsbLedScheme::PerPort, true}, {210, UsbLedScheme::PerPort, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.product);
    EXPECT_EQ(usbLedSchemeOf(c.product), c.scheme);
    EXPECT_EQ(usbFlashesActivity(c.product), c.activity);
  }
}

TEST(UsbServerAssembly, TableSizeFollowsTheUsbTableIdAndHidesTheSlotsBeyond) {
  struct Case {
    uint32_t productId;
    uint32_t tableId;
    int size;
  };
  const Case cases[] = {{200, 200, 40}, {181, 181, 16}, {121, 121, 5}, {200, 131, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tableId);
    TempRoot root;
    std::filesystem::create_directories(root.path() + "/sys/bus/usb/devices");
    FakeUsbfs usbfs(root.path());
    NoPortOutputs outputs;
    ParamTable params;
    Parameters parameters(params);
    ProductInfo product;
    product.product_id = c.productId;
    product.usbtable_product_id = c.tableId;
    product.usb_ports_phy = 4;
    UsbServer server(usbfs, outputs, nullptr, params, product, [] { return true; });
    EXPECT_EQ(server.table().size(), c.size);
    for (const char* family : {"usb_manu_", "usb_owner_", "usb_slot_", "usb_vendid_"}) {
      EXPECT_NE(params.find(family, static_cast<uint32_t>(c.size)), nullptr) << family;
      if (c.size < 40) {
        EXPECT_EQ(params.find(family, static_cast<uint32_t>(c.size + 1)), nullptr) << family;
      }
    }
    EXPECT_EQ(server.connectionCount(), 0);
  }
}

}  // namespace
