// The start-up sequence of the parameter database against golden parameter
// files: a basic four-port product at its first start, and an eight-port
// product with VLANs whose identity needs a port fix-up and whose existing
// file holds lines for hidden parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/paths.h"
#include "params/param_classes.h"
#include "params/parameters.h"
#include "params/product.h"
#include "params/product_startup.h"
#include "tests/support/temp_root.h"

namespace {

const std::string kGolden = APPLIANCE_SOURCE_DIR "/tests/params/golden/";
const std::string kParamsDump = APPLIANCE_BINARY_DIR "/tools/params-dump/params-dump";

int lineCount(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

ProductInfo product(uint32_t productId, uint32_t ports, const char* deviceTypes) {
  ProductInfo info;
  info.product_id = productId;
  info.usb_ports_phy = ports;
  info.device_types = deviceTypes;
  for (const char* c = deviceTypes; *c != '\0'; ++c) info.usb_device_ports += *c == 'U';
  return info;
}

constexpr uint32_t kBasicProduct = 999;  // in no variant group

uint32_t eightPortVlanProduct() {
  for (const ProductVariant& variant : productVariants()) {
    if (variant.group == VariantGroup::EightPortVlan) return variant.product_id;
  }
  return 0;
}

class ParameterStartUp : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(sysPath("/etc")); }
  TempRoot root_;
};

TEST_F(ParameterStartUp, BasicFourPortFirstStart) {
  ParamTable table;
  const Parameters parameters(table);
  ProductInfo info = product(kBasicProduct, 4, "UUUU");
  EXPECT_EQ(loadParameters(table, parameters, info), 0);  // no file yet
  const int bits = countStart(table, parameters);
  ASSERT_GE(bits, 0);
  EXPECT_EQ(bits & (ApplySave | ApplyAnyChange), ApplySave | ApplyAnyChange);

  const std::string written = readFileText(sysPath("/etc/params.dat"));
  EXPECT_EQ(lineCount(written), 117);
  EXPECT_EQ(written, readFileText(kGolden + "basic4.dat"));

  // The next start reads the file back and counts on.
  ParamTable again;
  const Parameters next(again);
  ProductInfo sameInfo = product(kBasicProduct, 4, "UUUU");
  EXPECT_EQ(loadParameters(again, next, sameInfo), 1);
  ASSERT_GE(countStart(again, next), 0);
  EXPECT_EQ(next.life->value(), 2);
}

TEST_F(ParameterStartUp, EightPortVlanProductWithExistingFile) {
  root_.writeFile("/etc/params.dat", readFileText(kGolden + "vlan8-input.dat"));
  ParamTable table;
  const Parameters parameters(table);
  ProductInfo info = product(eightPortVlanProduct(), 6, "UUUUUUUU");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(loadParameters(table, parameters, info), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "setRuntimeEnv BugFix WYK33 force usb_port_phy -> 8\n");
  EXPECT_EQ(info.usb_ports_phy, 8u);
  ASSERT_GE(countStart(table, parameters), 0);

  const std::string written = readFileText(sysPath("/etc/params.dat"));
  EXPECT_EQ(lineCount(written), 256);
  EXPECT_EQ(written, readFileText(kGolden + "vlan8.dat"));

  // Lines read before the hiding still set their parameters, which are then
  // neither found nor saved.
  EXPECT_TRUE(parameters.wyk_sec_[11]->isOn());
  EXPECT_EQ(table.find("wyk_sec_12"), nullptr);
  EXPECT_TRUE(parameters.syslog->isOn());
  EXPECT_EQ(table.find("syslog"), nullptr);
  EXPECT_EQ(parameters.wifi_name->text(), "Other");
  EXPECT_EQ(table.find("wifi_name"), nullptr);
  // A refused value keeps the default.
  EXPECT_EQ(parameters.wyk_port->value(), 9200);
  EXPECT_EQ(parameters.sw_features->value(), 0x2B000);
  EXPECT_EQ(parameters.wykPortNumber->value(), 8);
}

TEST_F(ParameterStartUp, FailedSaveIsReported) {
  // A directory in the file's place cannot be replaced by the new file.
  std::filesystem::create_directories(sysPath("/etc/params.dat"));
  ParamTable table;
  const Parameters parameters(table);
  ProductInfo info = product(kBasicProduct, 4, "UUUU");
  loadParameters(table, parameters, info);
  EXPECT_EQ(countStart(table, parameters), -1);
  EXPECT_TRUE(std::filesystem::is_directory(sysPath("/etc/params.dat")));
}

// The command-line tool prints what the start-up writes.
TEST_F(ParameterStartUp, ParamsDumpPrintsTheSameFiles) {
  struct Row { std::string options; std::string golden; std::string messages; };
  const Row rows[] = {
      {"--product-id 999 --usb-ports 4 --device-types UUUU", "basic4.dat", ""},
      {"--product-id " + std::to_string(eightPortVlanProduct()) +
           " --usb-ports 6 --device-types UUUUUUUU --params " + kGolden + "vlan8-input.dat",
       "vlan8.dat", "setRuntimeEnv BugFix WYK33 force usb_port_phy -> 8\n"},
  };
  for (const Row& row : rows) {
    const std::string out = root_.path() + "/out.dat";
    const std::string err = root_.path() + "/err.txt";
    const std::string command = kParamsDump + " " + row.options + " >" + out + " 2>" + err;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_EQ(readFileText(out), readFileText(kGolden + row.golden)) << row.golden;
    EXPECT_EQ(readFileText(err), row.messages) << row.golden;
  }
}

TEST_F(ParameterStartUp, ParamsDumpReadsTheIdentityOfARoot) {
  root_.writeFile("/conf.d/product_params",
              "product_id=999\nusb_ports_phy=4\ndevice_types=UUUU\n");
  const std::string out = root_.path() + "/out.dat";
  const std::string command = kParamsDump + " --root " + root_.path() + " >" + out;
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(readFileText(out), readFileText(kGolden + "basic4.dat"));
}

}  // namespace
