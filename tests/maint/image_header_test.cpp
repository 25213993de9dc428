#include "maint/image_header.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/paths.h"
#include "maint/update_status.h"
#include "tests/support/temp_root.h"

namespace {

// Runs the image builder on the payload and returns the image path.
class ImageFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    updateState = kUpdatePrenatal;
    updateError = kUpdateNoError;
    updateProgress = 0;
  }

  std::string build(const std::string& options, const std::string& payload = "abc") {
    const std::string payloadPath = root_.path() + "/payload.bin";
    const std::string imagePath = root_.path() + "/image" + std::to_string(++count_) + ".img";
    std::ofstream(payloadPath, std::ios::binary) << payload;
    const std::string command = "/usr/bin/python3 " APPLIANCE_SOURCE_DIR "/tools/mkimage/mkimage.py " +
                                options + " --payload " + payloadPath + " -o " + imagePath;
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return imagePath;
  }

  std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  ImageHeader header(const std::string& path) {
    ImageHeader h;
    const std::string bytes = contents(path);
    EXPECT_GE(bytes.size(), ImageHeader::kSize);
    std::copy_n(bytes.begin(), std::min(bytes.size(), ImageHeader::kSize), h.data());
    return h;
  }

  int precheck(const std::string& path, off_t* position = nullptr) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GT(fd, 0);
    const int result = precheckImage(fd);
    if (position != nullptr) *position = ::lseek(fd, 0, SEEK_CUR);
    ::close(fd);
    return result;
  }

  TempRoot root_;
  int count_ = 0;
};

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(ImageCrc, StartsAtZeroWithoutFinalInversion) {
  EXPECT_EQ(imageCrc(0, "abc", 3), 0xCA6598D0u);
  EXPECT_EQ(imageCrc(0, "", 0), 0u);
  const std::string text = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(imageCrc(imageCrc(0, text.data(), 10), text.data() + 10, text.size() - 10),
            imageCrc(0, text.data(), text.size()));
}

TEST_F(ImageFiles, BuilderWritesTheHeaderLayout) {
  const std::string image = contents(build(
      "--type sw --compat-id 0x01020304 --level 5 --software-id 6 --ctime 7 --version 8.9.10"));
  ASSERT_EQ(image.size(), 131u);
  EXPECT_EQ(hex(image.substr(0, 44)),
            "4c425257" "73770000" "ca6598d0" "00000003" "01020304" "00000005"
            "00000006" "00000007" "00000008" "00000009" "0000000a");
  EXPECT_EQ(image.substr(44, 84), std::string(84, '\0'));
  EXPECT_EQ(image.substr(128), "abc");

  const ImageHeader h = header(root_.path() + "/image1.img");
  EXPECT_TRUE(h.isValid());
  EXPECT_EQ(h.type(), ImageHeader::kTypeSoftware);
  EXPECT_EQ(h.length(), 3u);
  EXPECT_EQ(h.crc(), 0xCA6598D0u);
  EXPECT_EQ(h.word(ImageHeader::kVersionBuild), 10u);
}

TEST_F(ImageFiles, PayloadCrcMatchesOnlyAGoodImage) {
  const std::string payload(70000, 'x');
  for (const auto& [options, matches] : {std::pair{std::string("--type fw"), true},
                                         std::pair{std::string("--type fw --crc 0x1234"), false}}) {
    const std::string image = contents(build(options, payload));
    const ImageHeader h = header(root_.path() + "/image" + std::to_string(count_) + ".img");
    EXPECT_EQ(h.crc() == imageCrc(0, image.data() + ImageHeader::kSize, h.length()), matches)
        << options;
  }
}

TEST_F(ImageFiles, Precheck) {
  struct Row { std::string options; int result; };
  const Row rows[] = {
      {"--type fw", kPrecheckOk},
      {"--type fw --truncate 130", kPrecheckShortPayload},  // one byte short
      {"--type fw --length 2", kPrecheckOk},                 // trailing bytes are allowed
      {"--type fw --truncate 100", kPrecheckShortHeader},
      {"--type fw --magic LBRX", kPrecheckNotAnImage},
      {"--type fw --length 0xffffffff", kPrecheckShortPayload},  // no 32-bit wrap
  };
  for (const Row& row : rows) {
    off_t position = -1;
    EXPECT_EQ(precheck(build(row.options), &position), row.result) << row.options;
    if (row.result == kPrecheckOk) {
      EXPECT_EQ(position, 128) << row.options;
    }
  }
  EXPECT_EQ(precheckImage(-1), kPrecheckNoFile);
  EXPECT_EQ(precheckImage(0), kPrecheckNoFile);
}

TEST_F(ImageFiles, PrecheckRefusesWhileAnUpdateRuns) {
  const std::string image = build("--type sw");
  updateState = kUpdateWaitingForRestart;
  EXPECT_EQ(precheck(image), kPrecheckBusy);
  EXPECT_EQ(updateState.load(), kUpdateWaitingForRestart);

  updateState = kUpdateFailed;
  updateError = kUpdateIncompatible;
  updateProgress = 40;
  updateInfoText.set("incompatible");
  EXPECT_EQ(precheck(image), kPrecheckOk);
  EXPECT_EQ(updateState.load(), kUpdatePrenatal);
  EXPECT_EQ(updateError.load(), kUpdateNoError);
  EXPECT_EQ(updateProgress.load(), 0);
  EXPECT_EQ(updateInfoText.get(), "");
}

TEST_F(ImageFiles, CompatibilityRules) {
  ProductInfo product;
  product.compat_id = 0x4405A02;
  product.software_id = 9;
  FirmwareInfo firmware;
  firmware.compat_level = 3;
  struct Row { std::string options; int result; const char* text; };
  const Row rows[] = {
      {"--type fw --compat-id 0xffffffff --level 3", 0, "firmware ffffffff.3"},
      {"--type fw --compat-id 0x4405a02 --level 7", 0, "firmware 4405a02.7"},
      {"--type fw --compat-id 0xffffffff --level 2", 255, "incompatible firmware level"},
      {"--type fw --compat-id 0x4405a00 --level 3", 255, "incompatible firmware id"},
      {"--type sw --compat-id 0xffffffff --software-id 9 --version 2.1.5", 0,
       "Software: ffffffff.9 Version: 2.1.5"},
      {"--type sw --compat-id 0xffffffff --software-id 8", 255, "incompatible software id"},
      {"--type sw --compat-id 0x1 --software-id 9", 255, "incompatible software/product id"},
      {"--type serb --compat-id 0", 0, "serboard"},
      {"--type fpga --compat-id 0", 0, "fpga image info not supported"},
      {"--type xy", 255, "incompatible type:2021195776"},
      {"--type fw --magic LBRX", 255, "incompatible"},
  };
  for (const Row& row : rows) {
    const ImageHeader h = header(build(row.options));
    std::string text = "old";
    EXPECT_EQ(h.checkCompatibility(product, firmware, text), row.result) << row.options;
    EXPECT_EQ(text, row.text) << row.options;
  }
}

TEST_F(ImageFiles, StateTexts) {
  struct Row { int state; size_t size; const char* text; };
  const Row rows[] = {
      {kUpdatePrenatal, 64, "Prenatal"},
      {kUpdateAlive, 64, "Alive"},
      {kUpdateVerifying, 64, "Verifying"},
      {kUpdateWorking, 64, "Working"},
      {kUpdateWaitingForRestart, 64, "Waiting for Restart"},
      {kUpdateRestart, 64, "Restart"},
      {9, 64, "Unexpected!?"},
      {kUpdateWaitingForRestart, 19, ""},  // does not fit with its terminator
      {kUpdateWaitingForRestart, 20, "Waiting for Restart"},
      {kUpdateFailed, 32, ""},
      {kUpdateFailed, 64, "Error:255 Done:0"},
  };
  updateError = kUpdateIncompatible;
  for (const Row& row : rows) {
    updateState = row.state;
    std::vector<char> buffer(row.size, 'x');
    EXPECT_EQ(updateStateText(buffer.data(), buffer.size()), buffer.data());
    EXPECT_STREQ(buffer.data(), row.text) << row.state << " " << row.size;
  }
  EXPECT_EQ(updateStateText(nullptr, 10), nullptr);
  updateState = kUpdatePrenatal;
  updateError = kUpdateNoError;
}

TEST(UpdateInfoTextTest, KeepsAtMost127Characters) {
  updateInfoText.set(std::string(200, 'a'));
  EXPECT_EQ(updateInfoText.get(), std::string(127, 'a'));
  updateInfoText.set("");
}

}  // namespace
