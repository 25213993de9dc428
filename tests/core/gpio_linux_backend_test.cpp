#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/gpio_requests.h"
#include "core/linux_gpio_backend.h"
#include "core/paths.h"
#include "tests/support/temp_root.h"

namespace {

// Each request number carries the direction and size of the record it moves.
TEST(GpioRequests, NumbersEncodeTheirRecords) {
  struct Row {
    unsigned long request;
    unsigned long expected;
  } rows[] = {
      {kGpioOutputOn, _IOW(0x0A, 0xC2, uint32_t)},
      {kGpioOutputOff, _IOW(0x0A, 0xC3, uint32_t)},
      {kGpioLedPattern, _IOW(0x0A, 0xCA, LedPattern)},
      {kGpioLedConfig, _IOW(0x0A, 0xCE, LedConfig)},
      {kGpioLedState, _IOR(0x0A, 0xC5, uint32_t)},
      {kGpioDisplay, _IOR(0x0A, 0xCC, DisplayCommand)},
      {kGpioCounter, _IOR(0x0A, 0xCB, uint64_t)},
      {kGpioProbe, _IOR(0x0A, 0xA4, uint32_t)},
      {kGpioLedMap, _IOR(0x0A, 0xC9, LedMap)},
      {kGpioDriverWord, _IOR(0x0A, 0xC1, uint32_t)},
      {kGpioLedRegister, _IOW(0x0A, 0xA3, uint32_t)},
      {kGpioInputs, _IOR(0x0A, 0xAE, uint32_t)},
      {kGpioCardPresence, _IOR(0x0A, 0xAF, uint32_t)},
      {kButtonConfigRead, _IOR(0x5C, 0x00, ButtonConfig)},
      {kButtonConfigWrite, _IOW(0x5C, 0x01, ButtonConfig)},
  };
  for (const Row& row : rows) EXPECT_EQ(row.request, row.expected) << std::hex << row.request;
}

TEST(LinuxGpioBackend, AbsentDevicesFailCleanly) {
  TempRoot root;
  LinuxGpioBackend backend;
  EXPECT_FALSE(backend.open());
  uint32_t word = 0;
  errno = 0;
  EXPECT_EQ(backend.ioctl(kGpioInputs, &word), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(backend.openButtonControl());
  EXPECT_EQ(backend.buttonControlIoctl(kButtonConfigRead, &word), -1);
  EXPECT_EQ(backend.openButton(0), -1);
}

TEST(LinuxGpioBackend, OpensNodesBelowTheRootDirectory) {
  TempRoot root;
  root.writeFile("/dev/gpio", "");
  ASSERT_EQ(mkfifo(sysPath("/dev/button2").c_str(), 0600), 0);
  LinuxGpioBackend backend;
  ASSERT_TRUE(backend.open());
  uint32_t word = 0;
  // A plain file is no driver: the request reaches the kernel and fails there.
  errno = 0;
  EXPECT_EQ(backend.ioctl(kGpioInputs, &word), -1);
  EXPECT_EQ(errno, ENOTTY);
  backend.close();
  // The button opens without waiting for a writer.
  const int fd = backend.openButton(2);
  ASSERT_GE(fd, 0);
  close(fd);
}

}  // namespace
