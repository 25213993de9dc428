#include "maint/identity.h"

#include "core/paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/temp_root.h"

namespace {

std::string macText(const ProductInfo& info) {
  char text[32];
  const auto& a = info.hw_address;
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
  return text;
}

class IdentityFiles : public ::testing::Test {
 protected:
  ProductInfo readProduct(std::string_view content) {
    root_.writeFile("/conf.d/product_params", std::string(content));
    ProductInfo info;
    readProductParams(info);
    return info;
  }
  TempRoot root_;
};

TEST_F(IdentityFiles, ProductFileFillsEveryField) {
  const ProductInfo info = readProduct(
      "product_id=4711\n"
      "compat_id=0x4405a02\n"
      "oem_id=1f\n"
      "product_name=Tarvik Hub\n"
      "default_name=TVK-0042\n"
      "ethaddr0=00:11:22:33:44:55\n"
      "network_type=3\n"
      "phy0_addr=1\n"
      "software_id=9\n"
      "usb_ports_phy=4\n"
      "hw_major=2\n"
      "hw_minor=5\n"
      "hw_project=7\n"
      "gpio_hw_project=278\n"
      "year=2024\n"
      "month=11\n"
      "serial_no=123456\n"
      "creation_time=1700000000\n"
      "fpga_compat_id=12\n"
      "fpga_compat_level=3\n"
      "usbtable_product_id=77\n"
      "device_types=UUUUC\n");
  EXPECT_EQ(info.product_id, 4711u);
  EXPECT_EQ(info.compat_id, 0x4405A02u);
  EXPECT_EQ(info.oem_id, 0x1Fu);
  EXPECT_EQ(info.product_name, "Tarvik Hub");
  EXPECT_EQ(info.default_name, "TVK-0042");
  EXPECT_EQ(macText(info), "00:11:22:33:44:55");
  EXPECT_EQ(info.network_type, 3u);
  EXPECT_EQ(info.phy0_addr, 1u);
  EXPECT_EQ(info.software_id, 9u);
  EXPECT_EQ(info.usb_ports_phy, 4u);
  EXPECT_EQ(info.hw_major, 2u);
  EXPECT_EQ(info.hw_minor, 5u);
  EXPECT_EQ(info.hw_project, 7u);
  EXPECT_EQ(info.gpio_hw_project, 278u);
  EXPECT_EQ(info.year, 2024u);
  EXPECT_EQ(info.month, 11u);
  EXPECT_EQ(info.serial_no, 123456u);
  EXPECT_EQ(info.creation_time, 1700000000u);
  EXPECT_EQ(info.fpga_compat_id, 12u);
  EXPECT_EQ(info.fpga_compat_level, 3u);
  EXPECT_EQ(info.usbtable_product_id, 77u);
  EXPECT_EQ(info.device_types, "UUUUC");
  EXPECT_EQ(info.printer_ports, 5u);
  EXPECT_EQ(info.usb_device_ports, 4u);
  EXPECT_EQ(info.card_ports, 1u);
}

TEST_F(IdentityFiles, KeyRulesFollowTheirOrder) {
  struct Row {
    const char* content;
    uint32_t hw_project, gpio_hw_project, compat_id, printer_ports;
  };
  const Row rows[] = {
      // The hardware project and the GPIO hardware project are told apart.
      {"hw_project=7\n", 7, 0, 0, 0},
      {"gpio_hw_project=278\n", 0, 278, 0, 0},
      // Hexadecimal accepts the prefix or none.
      {"compat_id=4405a02\n", 0, 0, 0x4405A02, 0},
      {"compat_id=0X4405A02\n", 0, 0, 0x4405A02, 0},
      // device_types overrides an earlier port count, a later one overrides it.
      {"printer_ports=9\ndevice_types=UUUUC\n", 0, 0, 0, 5},
      {"device_types=UUUUC\nprinter_ports=9\n", 0, 0, 0, 9},
      // device_types is found anywhere in the line.
      {"# device_types=UU\n", 0, 0, 0, 2},
      // A later line with the same key wins; malformed numbers give their leading digits.
      {"hw_project=7\nhw_project=12abc\n", 12, 0, 0, 0},
      {"hw_project=abc\n", 0, 0, 0, 0},
      // Lines without "=" and unknown keys are skipped.
      {"hw_project 7\nunknown=3\n", 0, 0, 0, 0},
      // A last line without a newline is taken whole.
      {"hw_project=42", 42, 0, 0, 0},
      // Numbers saturate instead of wrapping.
      {"hw_project=99999999999\n", UINT32_MAX, 0, 0, 0},
  };
  for (const Row& row : rows) {
    const ProductInfo info = readProduct(row.content);
    EXPECT_EQ(info.hw_project, row.hw_project) << row.content;
    EXPECT_EQ(info.gpio_hw_project, row.gpio_hw_project) << row.content;
    EXPECT_EQ(info.compat_id, row.compat_id) << row.content;
    EXPECT_EQ(info.printer_ports, row.printer_ports) << row.content;
  }
}

TEST_F(IdentityFiles, HardwareAddressGroups) {
  struct Row { const char* line; const char* mac; uint8_t seventh; };
  const Row rows[] = {
      {"ethaddr0=00:11:22:33:44:55\n", "00:11:22:33:44:55", 0},
      {"ethaddr0=0a-1B-2c-3D-4e-5F-66-77-88\n", "0a:1b:2c:3d:4e:5f", 0x77},
      {"ethaddr0=00:zz:22\n", "00:00:22:00:00:00", 0},
      {"my ethaddr0 is=de:ad\n", "de:ad:00:00:00:00", 0},
  };
  for (const Row& row : rows) {
    const ProductInfo info = readProduct(row.line);
    EXPECT_EQ(macText(info), row.mac) << row.line;
    EXPECT_EQ(info.hw_address[7], row.seventh) << row.line;
  }
}

TEST_F(IdentityFiles, TextsAreClippedAndPortCountBounded) {
  const ProductInfo info = readProduct("product_name=" + std::string(300, 'n') +
                                       "\nusb_ports_phy=64\n");
  EXPECT_EQ(info.product_name, std::string(127, 'n'));
  EXPECT_EQ(info.usb_ports_phy, kMaxUsbPorts);
}

TEST_F(IdentityFiles, MissingFilesGiveZeroRecords) {
  ProductInfo product;
  product.product_id = 5;
  readProductParams(product);
  EXPECT_EQ(product.product_id, 0u);
  FirmwareInfo firmware;
  firmware.compat_level = 3;
  readFirmwareParams(firmware);
  EXPECT_EQ(firmware.compat_level, 0u);
  SoftwareInfo software;
  readSoftwareInfo(software);
  EXPECT_EQ(software.version_major, 0u);
}

TEST_F(IdentityFiles, FirmwareFile) {
  root_.writeFile("/conf.d/firmware_params",
              "compat_id=ff00\ncompat_level=4\nfirmware_version=310\ncreation_time=17\n");
  FirmwareInfo info;
  readFirmwareParams(info);
  EXPECT_EQ(info.compat_id, 0xFF00u);
  EXPECT_EQ(info.compat_level, 4u);
  EXPECT_EQ(info.firmware_version, 310u);
  EXPECT_EQ(info.creation_time, 17u);
}

TEST_F(IdentityFiles, SoftwareHeaderWords) {
  // Words at 16 compat_id, 20 level, 24 software id, 28 creation time,
  // 32/36/40 version, big-endian.
  std::string header(128, '\0');
  const uint32_t words[] = {0x00ABCDEF, 2, 9, 0x01020304, 3, 1, 4};
  for (size_t i = 0; i < 7; ++i) {
    for (int b = 0; b < 4; ++b) header[16 + i * 4 + b] = static_cast<char>(words[i] >> (24 - 8 * b));
  }
  root_.writeFile("/flash/software.bin", header + "payload after the header");
  SoftwareInfo info;
  readSoftwareInfo(info);
  EXPECT_EQ(info.compat_id, 0x00ABCDEFu);
  EXPECT_EQ(info.compat_level, 2u);
  EXPECT_EQ(info.software_id, 9u);
  EXPECT_EQ(info.creation_time, 0x01020304u);
  EXPECT_EQ(info.version_major, 3u);
  EXPECT_EQ(info.version_minor, 1u);
  EXPECT_EQ(info.version_build, 4u);

  root_.writeFile("/flash/software.bin", header.substr(0, 100));
  SoftwareInfo shortFile;
  readSoftwareInfo(shortFile);
  EXPECT_EQ(shortFile.version_major, 0u);
  EXPECT_EQ(shortFile.compat_id, 0u);
}

TEST_F(IdentityFiles, DeviceIdentityReadsAllThree) {
  root_.writeFile("/conf.d/product_params", "product_id=3\n");
  root_.writeFile("/conf.d/firmware_params", "firmware_version=8\n");
  DeviceIdentity identity;
  readDeviceIdentity(identity);
  EXPECT_EQ(identity.product.product_id, 3u);
  EXPECT_EQ(identity.firmware.firmware_version, 8u);
}

}  // namespace
