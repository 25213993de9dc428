#include "usbserver/linux_usb_platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <vector>

#include "core/paths.h"

// Every ioctl of the code under test lands here (linked with --wrap=ioctl).
// While a test records, the call is journaled with the bytes its argument
// points to and answered from a script; otherwise it goes to the kernel.
namespace {
struct IoctlCall {
  int fd;
  unsigned long request;
  void* argument;
  std::vector<uint8_t> bytes;  // _IOC_SIZE(request) bytes at argument
};

struct IoctlScript {
  bool recording = false;
  std::vector<IoctlCall> calls;
  int result = 0;
  int error = 0;
  void* reaped = nullptr;  // written through the REAPURBNDELAY argument
};

IoctlScript& script() {
  static IoctlScript s;
  return s;
}
}  // namespace

extern "C" int __real_ioctl(int fd, unsigned long request, ...);

extern "C" int __wrap_ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  IoctlScript& s = script();
  if (!s.recording) return __real_ioctl(fd, request, argument);
  IoctlCall call{fd, request, argument, {}};
  if (argument != nullptr) {
    const auto* p = static_cast<const uint8_t*>(argument);
    call.bytes.assign(p, p + _IOC_SIZE(request));
  }
  s.calls.push_back(std::move(call));
  if (s.result < 0) {
    errno = s.error;
    return -1;
  }
  if (request == USBDEVFS_REAPURBNDELAY) *static_cast<void**>(argument) = s.reaped;
  return s.result;
}

namespace {

uint32_t u32At(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

class LinuxUsbPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script() = IoctlScript{};
    char templ[] = "/tmp/usbplatformXXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root_ = templ;
    setRootDirectory(root_);
  }
  void TearDown() override {
    script() = IoctlScript{};
    setRootDirectory("");
    std::filesystem::remove_all(root_);
  }
  // Records the one ioctl that `issue` makes; the call's result is returned.
  template <typename F>
  int recordOne(F issue, int result = 0, int error = 0) {
    script().calls.clear();
    script().result = result;
    script().error = error;
    script().recording = true;
    int rc = issue();
    script().recording = false;
    EXPECT_EQ(script().calls.size(), 1u);
    return rc;
  }
  const IoctlCall& lastCall() { return script().calls.back(); }

  std::string root_;
  LinuxUsbPlatform platform_;
};

TEST_F(LinuxUsbPlatformTest, RootsFollowTheRootDirectory) {
  EXPECT_EQ(platform_.sysfsDevicesDir(), root_ + "/sys/bus/usb/devices");
  EXPECT_EQ(platform_.devBusUsbDir(), root_ + "/dev/bus/usb");
  EXPECT_EQ(platform_.nodePollEvents(), uint32_t{EPOLLOUT | EPOLLHUP});
}

// The request numbers of the 64-bit usbfs ABI, written out so that a wrong
// request macro or argument type shows up as a different number.
TEST_F(LinuxUsbPlatformTest, RequestNumbersAndArgumentsOfTheSimpleRequests) {
  if (sizeof(void*) != 8) GTEST_SKIP() << "golden numbers are for the 64-bit ABI";
  struct Case {
    const char* name;
    std::function<int()> issue;
    unsigned long request;
    bool hasValue;
    uint32_t value;
  };
  const int fd = 77;
  const std::vector<Case> cases = {
      {"SETCONFIGURATION", [&] { return platform_.setConfiguration(fd, 2); }, 0x80045505, true, 2},
      {"CLAIMINTERFACE", [&] { return platform_.claimInterface(fd, 3); }, 0x8004550F, true, 3},
      {"RELEASEINTERFACE", [&] { return platform_.releaseInterface(fd, 4); }, 0x80045510, true, 4},
      {"CLEAR_HALT", [&] { return platform_.clearHalt(fd, 0x81); }, 0x80045515, true, 0x81},
      {"RESET", [&] { return platform_.reset(fd); }, 0x5514, false, 0},
      {"0x551A", [&] { return platform_.request551A(fd); }, 0x551A, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(recordOne(c.issue), 0);
    EXPECT_EQ(lastCall().fd, fd);
    EXPECT_EQ(lastCall().request, c.request);
    if (c.hasValue) {
      ASSERT_EQ(lastCall().bytes.size(), 4u);
      EXPECT_EQ(u32At(lastCall().bytes, 0), c.value);
    } else {
      EXPECT_EQ(lastCall().argument, nullptr);
    }
  }
}

TEST_F(LinuxUsbPlatformTest, SetInterfacePassesInterfaceThenAlternate) {
  EXPECT_EQ(recordOne([&] { return platform_.setInterface(5, 1, 2); }), 0);
  EXPECT_EQ(lastCall().request, 0x80085504ul);
  ASSERT_EQ(lastCall().bytes.size(), 8u);
  EXPECT_EQ(u32At(lastCall().bytes, 0), 1u);
  EXPECT_EQ(u32At(lastCall().bytes, 4), 2u);
}

TEST_F(LinuxUsbPlatformTest, ControlPassesTheCallersTransferAndReturnsTheByteCount) {
  uint8_t data[18] = {};
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = 0x80;
  transfer.bRequest = 6;
  transfer.wValue = 0x0100;
  transfer.wIndex = 0;
  transfer.wLength = sizeof data;
  transfer.timeout = 1000;
  transfer.data = data;
  EXPECT_EQ(recordOne([&] { return platform_.control(9, transfer); }, 18), 18);
  EXPECT_EQ(lastCall().request, 0xC0185500ul);
  EXPECT_EQ(lastCall().argument, &transfer);
  // Setup fields in host order, as usbfs expects them.
  const std::vector<uint8_t> expectedHead = {0x80, 6, 0x00, 0x01, 0x00, 0x00, 18, 0x00, 0xE8, 0x03, 0, 0};
  EXPECT_EQ(std::vector<uint8_t>(lastCall().bytes.begin(), lastCall().bytes.begin() + 12), expectedHead);
}

TEST_F(LinuxUsbPlatformTest, UrbRequestsPassTheUrbAndReapReturnsTheKernelsPointer) {
  usbdevfs_urb urb{};
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = 0x81;
  EXPECT_EQ(recordOne([&] { return platform_.submitUrb(3, &urb); }), 0);
  EXPECT_EQ(lastCall().request, 0x8038550Aul);
  EXPECT_EQ(lastCall().argument, &urb);

  EXPECT_EQ(recordOne([&] { return platform_.discardUrb(3, &urb); }), 0);
  EXPECT_EQ(lastCall().request, 0x550Bul);
  EXPECT_EQ(lastCall().argument, &urb);

  script().reaped = &urb;
  usbdevfs_urb* completed = nullptr;
  EXPECT_EQ(recordOne([&] { return platform_.reapUrbNoDelay(3, &completed); }), 0);
  EXPECT_EQ(lastCall().request, 0x4008550Dul);
  EXPECT_EQ(completed, &urb);
}

TEST_F(LinuxUsbPlatformTest, FailuresReturnTheNegatedErrorNumber) {
  usbdevfs_urb* completed = nullptr;
  usbdevfs_urb urb{};
  EXPECT_EQ(recordOne([&] { return platform_.reapUrbNoDelay(3, &completed); }, -1, EAGAIN), -EAGAIN);
  EXPECT_EQ(recordOne([&] { return platform_.submitUrb(3, &urb); }, -1, ENOMEM), -ENOMEM);
  EXPECT_EQ(recordOne([&] { return platform_.request551A(3); }, -1, ENOTTY), -ENOTTY);
  EXPECT_EQ(recordOne([&] { return platform_.clearHalt(3, 2); }, -1, EPIPE), -EPIPE);
}

TEST_F(LinuxUsbPlatformTest, NodeFileIsOpenedReadAndSeekedLikeAFile) {
  const std::string path = root_ + "/node";
  std::ofstream(path) << "0123456789";
  int fd = platform_.openNode(path, O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  char buffer[4] = {};
  EXPECT_EQ(platform_.seekNode(fd, 6, SEEK_SET), 6);
  EXPECT_EQ(platform_.readNode(fd, buffer, sizeof buffer), 4);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(platform_.readNode(fd, buffer, sizeof buffer), 0);
  EXPECT_EQ(platform_.closeNode(fd), 0);
  EXPECT_EQ(platform_.closeNode(fd), -EBADF);
  EXPECT_EQ(platform_.openNode(root_ + "/missing", O_RDWR), -ENOENT);
  EXPECT_EQ(platform_.makeNode(root_ + "/no/such/dir/001", 189, 1), -ENOENT);
}

}  // namespace
