#include "params/product.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "params/param_classes.h"
#include "params/parameters.h"

namespace {

ProductInfo productOf(VariantGroup group, uint32_t ports, uint32_t compatId = 0) {
  ProductInfo product;
  product.product_id = 999;  // in no group: basic
  for (const ProductVariant& variant : productVariants()) {
    if (variant.group == group) {
      product.product_id = variant.product_id;
      break;
    }
  }
  product.compat_id = compatId;
  product.usb_ports_phy = ports;
  product.device_types = std::string(ports, 'U');
  product.usb_device_ports = ports;
  return product;
}

class RuntimeEnv : public ::testing::Test {
 protected:
  // Runs setRuntimeEnv and returns what it printed.
  std::string apply(ProductInfo& product) {
    ::testing::internal::CaptureStderr();
    setRuntimeEnv(table_, p_, product);
    return ::testing::internal::GetCapturedStderr();
  }
  bool visible(const char* name) { return table_.find(name) != nullptr; }

  ParamTable table_;
  Parameters p_{table_};
};

TEST(ProductTable, GroupsHaveTheirSizesAndFeatureWords) {
  struct Row { VariantGroup group; size_t members; uint32_t features; };
  const Row rows[] = {
      {VariantGroup::FourPortBasic, 1, 0},
      {VariantGroup::WlanOnly, 2, 0},
      {VariantGroup::Mail, 8, 0x1000},
      {VariantGroup::MailBeeper, 2, 0x101000},
      {VariantGroup::ManagedPorts, 1, 0xB000},
      {VariantGroup::SinglePortCompression, 1, 0x1B000},
      {VariantGroup::ManagedPortsVlan, 5, 0x2B000},
      {VariantGroup::EightPortVlan, 1, 0x2B000},
      {VariantGroup::DisplayModel, 1, 0x3EB000},
      {VariantGroup::RelayModel, 1, 0x6AB000},
  };
  std::set<uint32_t> numbers;
  for (const Row& row : rows) {
    size_t members = 0;
    for (const ProductVariant& variant : productVariants()) {
      numbers.insert(variant.product_id);
      if (variant.group != row.group) continue;
      ++members;
      ProductInfo product;
      product.product_id = variant.product_id;
      EXPECT_EQ(featureWordOf(product), row.features) << variant.product_id;
      product.compat_id = 0x80 | 0x2;  // any WLAN hardware bit
      EXPECT_EQ(featureWordOf(product), row.features | FeatureWlan) << variant.product_id;
    }
    EXPECT_EQ(members, row.members) << static_cast<int>(row.group);
  }
  EXPECT_EQ(numbers.size(), productVariants().size());  // each number in one group
  EXPECT_EQ(variantGroupOf(4242), VariantGroup::Basic);
}

TEST(ProductTable, StartUpProperties) {
  int wirelessOnly = 0, phyProbing = 0;
  for (const ProductVariant& variant : productVariants()) {
    ProductInfo product;
    product.product_id = variant.product_id;
    if (hasProductProperty(product, WirelessOnly)) {
      ++wirelessOnly;
      EXPECT_EQ(variant.group, VariantGroup::WlanOnly);
    }
    if (hasProductProperty(product, PhyProbing)) {
      ++phyProbing;
      EXPECT_EQ(variant.group, VariantGroup::WlanOnly);
    }
    EXPECT_EQ(hasProductProperty(product, TwoPhy), variant.group == VariantGroup::DisplayModel);
    EXPECT_EQ(hasProductProperty(product, CardReader), variant.group == VariantGroup::ManagedPorts);
  }
  EXPECT_EQ(wirelessOnly, 1);
  EXPECT_EQ(phyProbing, 1);
}

TEST_F(RuntimeEnv, BasicWlanProduct) {
  ProductInfo product = productOf(VariantGroup::Basic, 4, 0x4000000);
  EXPECT_EQ(apply(product), "");
  EXPECT_EQ(p_.sw_features->value(), 0x4000);
  EXPECT_EQ(p_.wykPortNumber->value(), 4);
  EXPECT_TRUE(visible("wifi"));
  EXPECT_TRUE(visible("wifi_wkey4"));
  EXPECT_TRUE(visible("btn_wps_pbc"));
  EXPECT_FALSE(visible("smtp_srv"));
  EXPECT_FALSE(visible("trapto_1"));
  EXPECT_FALSE(visible("wyk_accctrl_1"));
  EXPECT_TRUE(visible("wyk_sec_4"));
  EXPECT_FALSE(visible("wyk_sec_5"));
  EXPECT_FALSE(visible("dailyrestart"));
  EXPECT_TRUE(visible("auth_typ"));
  // A hidden parameter still answers through its handle.
  EXPECT_TRUE(p_.syslog->isOff());
  for (const char* name : {"syslog", "syslog_ipa", "syslog_upo"}) EXPECT_FALSE(visible(name));
}

TEST_F(RuntimeEnv, ProductWithoutWlanHidesEveryWlanParameterButAuthentication) {
  ProductInfo product = productOf(VariantGroup::Basic, 4);
  apply(product);
  for (const Param* param : table_.getItems()) {
    const std::string& name = param->name();
    if (name.starts_with("wifi") || name == "btn_wps_pbc") {
      EXPECT_TRUE(param->isHidden()) << name;
    }
  }
  EXPECT_TRUE(visible("auth_wpa_addon"));
}

TEST_F(RuntimeEnv, DisplayModelWithFourPorts) {
  ProductInfo product = productOf(VariantGroup::DisplayModel, 4);
  apply(product);
  EXPECT_EQ(p_.sw_features->value(), 0x3EB000);
  EXPECT_TRUE(visible("wyk_poff_4"));
  for (int port = 5; port <= 20; ++port) {
    for (const char* family : {"wyk_poff_", "wyk_sec_", "wyk_2vlan_", "ip4vlan_on_", "wyk_comp_"}) {
      EXPECT_EQ(table_.find(family, static_cast<uint32_t>(port)), nullptr) << family << port;
    }
  }
  EXPECT_FALSE(visible("dailyrestart"));
  EXPECT_TRUE(visible("disp_def"));
  EXPECT_TRUE(visible("beepSDc"));
  EXPECT_FALSE(visible("relay_ctrl"));
  EXPECT_FALSE(visible("wyk_comp_1"));  // no compression on this model
  // Device slots are sized by the USB server, not by the port count.
  EXPECT_TRUE(visible("usb_owner_40"));
}

TEST_F(RuntimeEnv, PortCountFixUps) {
  struct Row { VariantGroup group; uint32_t reported, ports; const char* message; };
  const Row rows[] = {
      {VariantGroup::EightPortVlan, 6, 8, "setRuntimeEnv BugFix WYK33 force usb_port_phy -> 8\n"},
      {VariantGroup::EightPortVlan, 8, 8, ""},
      {VariantGroup::EightPortVlan, 12, 12, ""},
      {VariantGroup::FourPortBasic, 2, 4, "setRuntimeEnv BugFix WYK21 force usb_port_phy -> 4\n"},
      {VariantGroup::FourPortBasic, 4, 4, ""},
      {VariantGroup::SinglePortCompression, 4, 1,
       "setRuntimeEnv BugFix WYK470 force usb_port_phy -> 1\n"},
      {VariantGroup::SinglePortCompression, 0, 0, ""},
      {VariantGroup::ManagedPortsVlan, 2, 2, ""},
  };
  for (const Row& row : rows) {
    ParamTable table;
    const Parameters parameters(table);
    ProductInfo product = productOf(row.group, row.reported);
    ::testing::internal::CaptureStderr();
    setRuntimeEnv(table, parameters, product);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), row.message) << row.reported;
    EXPECT_EQ(product.usb_ports_phy, row.ports);
    EXPECT_EQ(table.usbPortCount(), static_cast<int>(row.ports));
    EXPECT_EQ(table.find("dailyrestart") != nullptr, row.ports >= 8) << row.ports;
  }
}

TEST_F(RuntimeEnv, WlanOnlyHidesTheWifiSwitch) {
  ProductInfo product = productOf(VariantGroup::WlanOnly, 1, 0x2);
  apply(product);
  EXPECT_FALSE(visible("wifi"));
  EXPECT_TRUE(visible("wifi_name"));
}

TEST(Features, NamedFeatures) {
  struct Row { const char* name; uint32_t word; bool present; };
  const Row rows[] = {
      {"email", 0x1000, true},  {"EMAIL", 0, false},   {"traps", 0x1000, true},
      {"SYSLOG", 0xFFF000, false}, {"NTP", 0, true},    {"XYZ", 0xFFF000, false},
      {"", 0, true},            {"WLAN", 0x4000, true}, {"wlan", 0x1000, false},
      {"ip4vlan", 0x20000, true}, {"UCOMP", 0x10000, true}, {"ACC", 0x2000, true},
      {"POSWITCHES", 0x8000, false}, {"utags", 0, true},
  };
  for (const Row& row : rows) EXPECT_EQ(hasFeature(row.name, row.word), row.present) << row.name;
}

TEST(IdentityLookups, KeysFormatTheirFields) {
  ProductInfo product;
  product.product_id = 200;
  product.compat_id = 0x4405A02;
  product.product_name = "Tarvik";
  product.hw_address = {0x00, 0x11, 0x22, 0xaa, 0xbb, 0xcc, 0, 0};
  product.usb_ports_phy = 4;
  SoftwareInfo software;
  software.version_major = 3;
  software.version_build = 17;
  FirmwareInfo firmware;
  firmware.firmware_version = 41;
  char buffer[64];
  struct Row { int which; const char* key; const char* text; };
  const Row rows[] = {
      {0, "product_id", "200"},           {0, "compat_id", "71326210"},
      {0, "product_icon", "Tarvik"},      {0, "hw_address", "00:11:22:aa:bb:cc"},
      {0, "usb_ports_phy", "4"},          {0, "nothing", " -- 2Do --"},
      {1, "version", "3"},                {1, "subrelease", "17"},
      {1, "software_id", " -- 2Do --"},   {2, "firmware_version", "41"},
      {2, "compat_level", "0"},
  };
  for (const Row& row : rows) {
    const int length = row.which == 0   ? getProductParam(product, row.key, buffer, sizeof buffer)
                       : row.which == 1 ? getSoftwareParam(software, row.key, buffer, sizeof buffer)
                                        : getFirmwareParam(firmware, row.key, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, row.text) << row.key;
    EXPECT_EQ(length, static_cast<int>(std::strlen(row.text))) << row.key;
  }
  // The length is what snprintf reports, also when the buffer is too small.
  char small[4];
  EXPECT_EQ(getProductParam(product, "hw_address", small, sizeof small), 17);
  EXPECT_STREQ(small, "00:");
}

}  // namespace
