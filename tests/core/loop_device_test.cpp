// Loop devices (needs root and /dev/loop-control).
#include "core/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "core/unique_fd.h"
#include "tests/support/temp_root.h"

namespace {

using LoopDevice = TempRootTest;

std::string readSysfs(const std::string& path) {
  std::string text = readFileText(path);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST_F(LoopDevice, AttachesAnImageAtAnOffsetAndDetaches) {
  std::string content(4096, 'A');
  content += std::string(8192, 'B');
  const std::string image = root_.writeFile("/var/image.bin", content);

  const UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(control.valid()) << "no /dev/loop-control";
  // Another test may take the free device first: try again with the next.
  std::string device;
  for (int attempt = 0; attempt < 5 && device.empty(); ++attempt) {
    const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    ASSERT_GE(number, 0);
    const std::string candidate = "/dev/loop" + std::to_string(number);
    if (loopAttach(candidate.c_str(), image.c_str(), 4096) == 1) device = candidate;
  }
  ASSERT_FALSE(device.empty());
  const std::string sysBlock = "/sys/block/" + device.substr(5) + "/loop/";
  EXPECT_EQ(readSysfs(sysBlock + "offset"), "4096");
  EXPECT_EQ(readSysfs(sysBlock + "backing_file"), image);
  {
    const UniqueFd loop(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    char first[4] = {};
    ASSERT_EQ(::pread(loop.get(), first, sizeof first, 0), 4);
    EXPECT_EQ(std::string(first, 4), "BBBB");
    loop_info info{};
    ASSERT_EQ(::ioctl(loop.get(), LOOP_GET_STATUS, &info), 0);
    EXPECT_EQ(std::string(info.lo_name), image.substr(0, LO_NAME_SIZE - 1));
  }
  // a busy device refuses a second image
  EXPECT_EQ(loopAttach(device.c_str(), image.c_str(), 0), 0);
  EXPECT_EQ(loopDetach(device.c_str()), 1);
  EXPECT_EQ(loopDetach("/dev/none-such-loop"), 0);
  EXPECT_EQ(loopAttach(device.c_str(), (image + ".missing").c_str(), 0), 0);
}

}  // namespace
