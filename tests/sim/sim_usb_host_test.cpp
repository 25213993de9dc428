// The simulated usbfs: sysfs tree, node file, claims, configuration and the
// urb life cycle, checked through the server's UsbPlatform interface.
#include "sim/usb/sim_usb_host.h"

#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <fstream>
#include <sstream>
#include <vector>

#include "sim/usb/sim_usb_models.h"
#include "tests/sim/sim_test_support.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class SimUsbHostTest : public ::testing::Test {
 protected:
  // Plugs a model; returns the node path.
  std::string plug(const std::string& model, int bus, const std::string& devpath, SimModelOptions options = {},
                   SimPlugSettings settings = {}) {
    std::string error;
    int devnum = host_->plug(bus, devpath, makeSimUsbModel(model, options, &error), settings);
    EXPECT_GT(devnum, 0) << error;
    char node[32];
    std::snprintf(node, sizeof node, "/%03d/%03d", bus, devnum);
    return host_->devBusUsbDir() + node;
  }
  int open(const std::string& node, int flags = O_RDWR) {
    int fd = host_->openNode(node, flags);
    EXPECT_GE(fd, 0);
    return fd;
  }

  TempRoot root_;
  std::unique_ptr<SimUsbHost> host_ = std::make_unique<SimUsbHost>();
  std::string devices_ = root_.path() + "/sys/bus/usb/devices";
};

TEST_F(SimUsbHostTest, RootsLieUnderTheRootDirectory) {
  EXPECT_EQ(host_->sysfsDevicesDir(), root_.path() + "/sys/bus/usb/devices");
  EXPECT_EQ(host_->devBusUsbDir(), root_.path() + "/dev/bus/usb");
  EXPECT_EQ(host_->nodePollEvents(), uint32_t{EPOLLIN | EPOLLHUP});
}

TEST_F(SimUsbHostTest, PlugWritesDeviceInterfaceHubAndRootHubDirectories) {
  plug("storage", 1, "1.3");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"1-1.3/busnum", "1\n"},          {"1-1.3/devnum", "3\n"},           {"1-1.3/devpath", "1.3\n"},
      {"1-1.3/dev", "189:2\n"},         {"1-1.3/idVendor", "0781\n"},      {"1-1.3/idProduct", "5567\n"},
      {"1-1.3/bcdDevice", "0100\n"},    {"1-1.3/bDeviceClass", "00\n"},    {"1-1.3/bDeviceSubClass", "00\n"},
      {"1-1.3/bMaxPower", "200mA\n"},   {"1-1.3/speed", "480\n"},          {"1-1.3/version", " 2.00\n"},
      {"1-1.3/manufacturer", "SimDisk\n"}, {"1-1.3/product", "Sim Mass Storage\n"},
      {"1-1.3/serial", "4C530001230815\n"}, {"1-1.3:1.0/bInterfaceClass", "08\n"},
      {"1-1/bDeviceClass", "09\n"},     {"1-1/bDeviceSubClass", "00\n"},   {"1-1/devnum", "2\n"},
      {"1-1:1.0/bInterfaceClass", "09\n"}, {"usb1/bDeviceClass", "09\n"}, {"usb1/devnum", "1\n"},
      {"1-0:1.0/bInterfaceClass", "09\n"},
  };
  for (const auto& [file, content] : expected) EXPECT_EQ(readFile(devices_ + "/" + file), content) << file;

  // The server's glob sees the hub, the device and the interfaces, never
  // the root hub.
  glob_t g;
  ASSERT_EQ(glob((devices_ + "/[1-9]*").c_str(), 0, nullptr, &g), 0);
  std::vector<std::string> names;
  for (size_t i = 0; i < g.gl_pathc; ++i) names.push_back(std::filesystem::path(g.gl_pathv[i]).filename());
  globfree(&g);
  EXPECT_EQ(names, (std::vector<std::string>{"1-0:1.0", "1-1", "1-1.3", "1-1.3:1.0", "1-1:1.0"}));

  // The binary descriptors are the node file.
  const int fd = open(host_->devBusUsbDir() + "/001/003");
  std::string node(64, '\0');
  node.resize(static_cast<size_t>(host_->readNode(fd, node.data(), node.size())));
  EXPECT_EQ(readFile(devices_ + "/1-1.3/descriptors"), node);
  host_->closeNode(fd);

  EXPECT_EQ(host_->unplug("1-1.3"), 0);
  EXPECT_FALSE(std::filesystem::exists(devices_ + "/1-1.3"));
  EXPECT_FALSE(std::filesystem::exists(devices_ + "/1-1.3:1.0"));
  EXPECT_TRUE(std::filesystem::exists(devices_ + "/1-1"));
  EXPECT_EQ(host_->unplug("1-1.3"), -ENOENT);
}

TEST_F(SimUsbHostTest, DeviceWithoutStringsHasNoTextAttributes) {
  SimModelOptions options;
  options.strings = false;
  plug("key", 2, "4", options);
  EXPECT_FALSE(std::filesystem::exists(devices_ + "/2-4/manufacturer"));
  EXPECT_FALSE(std::filesystem::exists(devices_ + "/2-4/product"));
  EXPECT_EQ(readFile(devices_ + "/2-4/busnum"), "2\n");
  EXPECT_EQ(readFile(devices_ + "/2-4/dev"), "189:129\n");
}

TEST_F(SimUsbHostTest, PlacesThatCannotTakeADeviceAreRefused) {
  plug("key", 1, "2");
  std::string error;
  auto model = [&] { return makeSimUsbModel("key", {}, &error); };
  EXPECT_EQ(host_->plug(1, "2", model(), {}), -EEXIST);
  EXPECT_EQ(host_->plug(1, "2.1", model(), {}), -EBUSY);  // a device, not a hub, sits at 2
  EXPECT_EQ(host_->plug(1, "", model(), {}), -EINVAL);
  EXPECT_EQ(host_->plug(1, "0", model(), {}), -EINVAL);
  EXPECT_EQ(host_->plug(1, "1..2", model(), {}), -EINVAL);
  EXPECT_EQ(host_->plug(0, "1", model(), {}), -EINVAL);
}

TEST_F(SimUsbHostTest, NodeFileIsDeviceDescriptorThenConfigurations) {
  const int fd = open(plug("storage", 1, "1"));
  const std::vector<uint8_t> expected = {
      18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x81, 0x07, 0x67, 0x55, 0x00, 0x01, 1, 2, 3, 1,     // device
      9, 2, 32, 0, 1, 1, 0, 0x80, 100,                                                  // configuration
      9, 4, 0, 0, 2, 0x08, 0x06, 0x50, 0,                                               // interface
      7, 5, 0x81, 2, 0x00, 0x02, 0, 7, 5, 0x02, 2, 0x00, 0x02, 0};                      // endpoints
  std::vector<uint8_t> node(100);
  ASSERT_EQ(host_->readNode(fd, node.data(), node.size()), static_cast<ssize_t>(expected.size()));
  node.resize(expected.size());
  EXPECT_EQ(node, expected);
  EXPECT_EQ(host_->seekNode(fd, 18, SEEK_SET), 18);
  uint8_t header[2];
  EXPECT_EQ(host_->readNode(fd, header, 2), 2);
  EXPECT_EQ(header[1], 2);
  EXPECT_EQ(host_->seekNode(fd, 5, SEEK_CUR), 25);
  EXPECT_EQ(host_->seekNode(fd, 0, SEEK_END), -EINVAL);
  EXPECT_EQ(host_->closeNode(fd), 0);
  EXPECT_EQ(host_->closeNode(fd), -EBADF);
}

TEST_F(SimUsbHostTest, OpeningANodeWithoutDeviceFails) {
  EXPECT_EQ(host_->openNode(host_->devBusUsbDir() + "/001/009", O_RDWR), -ENOENT);
  std::filesystem::create_directories(host_->devBusUsbDir() + "/001");
  EXPECT_EQ(host_->makeNode(host_->devBusUsbDir() + "/001/009", 189, 8), 0);
  EXPECT_EQ(std::filesystem::status(host_->devBusUsbDir() + "/001/009").permissions(), std::filesystem::perms::all);
  EXPECT_EQ(host_->makeNode(host_->devBusUsbDir() + "/001/009", 189, 8), -EEXIST);
  EXPECT_EQ(host_->openNode(host_->devBusUsbDir() + "/001/009", O_RDWR), -ENODEV);
  const std::string node = plug("key", 1, "1");
  host_->setFault("1-1", SimFault::Open, -EACCES);
  EXPECT_EQ(host_->openNode(node, O_RDWR), -EACCES);
  host_->clearFault("1-1", SimFault::Open);
  const int fd = open(node);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, CompletionIsSignalledOnTheNodeAndCopiedOnlyAtReap) {
  const int fd = open(plug("key", 1, "1"));
  std::vector<uint8_t> in(64, 0xEE);
  usbdevfs_urb inUrb = bulkUrb(0x82, in.data(), static_cast<int>(in.size()));
  inUrb.status = 12345;
  ASSERT_EQ(host_->submitUrb(fd, &inUrb), 0);
  EXPECT_FALSE(nodeReady(*host_, fd, 0));  // nothing to loop back yet
  usbdevfs_urb* reaped = nullptr;
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EAGAIN);

  std::vector<uint8_t> out = {1, 2, 3, 4, 5};
  usbdevfs_urb outUrb = bulkUrb(0x01, out.data(), static_cast<int>(out.size()));
  ASSERT_EQ(host_->submitUrb(fd, &outUrb), 0);
  out.assign(out.size(), 0);  // the data was taken at submission
  EXPECT_TRUE(nodeReady(*host_, fd, 0));

  // Both urbs are complete inside the simulator, but the caller's urb and
  // buffer are untouched until each is reaped.
  EXPECT_EQ(in, std::vector<uint8_t>(64, 0xEE));
  EXPECT_EQ(inUrb.status, 12345);
  EXPECT_EQ(inUrb.actual_length, 0);

  // The OUT transfer completes first; the waiting IN transfer follows with
  // the looped-back bytes.
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &outUrb);
  EXPECT_EQ(outUrb.actual_length, 5);
  EXPECT_EQ(in, std::vector<uint8_t>(64, 0xEE));
  ASSERT_EQ(host_->reapUrbNoDelay(fd, &reaped), 0);
  EXPECT_EQ(reaped, &inUrb);
  EXPECT_EQ(inUrb.status, 0);
  EXPECT_EQ(inUrb.actual_length, 5);
  EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0xEE}));
  EXPECT_FALSE(nodeReady(*host_, fd, 0));
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -EAGAIN);
  EXPECT_EQ(host_->pendingBytes(), 0u);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, DiscardCompletesWithConnectionReset) {
  const int fd = open(plug("key", 1, "1"));
  std::vector<uint8_t> in(512);
  usbdevfs_urb first = bulkUrb(0x82, in.data(), 512);
  usbdevfs_urb second = bulkUrb(0x82, in.data(), 512);
  ASSERT_EQ(host_->submitUrb(fd, &first), 0);
  ASSERT_EQ(host_->submitUrb(fd, &second), 0);
  EXPECT_EQ(host_->discardUrb(fd, &second), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(reaped, &second);
  EXPECT_EQ(second.status, -ECONNRESET);
  EXPECT_EQ(second.actual_length, 0);
  EXPECT_EQ(host_->discardUrb(fd, &second), -EINVAL);  // no longer pending

  // A completed urb that was not reaped yet cannot be discarded either.
  uint8_t byte = 7;
  usbdevfs_urb out = bulkUrb(0x01, &byte, 1);
  ASSERT_EQ(host_->submitUrb(fd, &out), 0);
  EXPECT_EQ(host_->discardUrb(fd, &first), -EINVAL);
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(reaped, &out);
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(reaped, &first);
  EXPECT_EQ(first.actual_length, 1);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, InterfaceClaimsAreExclusiveAcrossDescriptors) {
  const std::string node = plug("key", 1, "1");
  const int a = open(node);
  const int b = open(node);
  EXPECT_EQ(host_->claimInterface(a, 0), 0);
  EXPECT_EQ(host_->claimInterface(a, 0), 0);
  EXPECT_EQ(host_->claimInterface(b, 0), -EBUSY);
  EXPECT_EQ(host_->claimInterface(b, 3), -ENOENT);
  EXPECT_EQ(host_->claimInterface(b, 40), -EINVAL);
  EXPECT_EQ(host_->releaseInterface(b, 0), -EINVAL);
  uint8_t byte = 0;
  usbdevfs_urb urb = bulkUrb(0x01, &byte, 1);
  EXPECT_EQ(host_->submitUrb(b, &urb), -EBUSY);  // submission claims on the fly
  EXPECT_EQ(host_->setConfiguration(b, 1), -EBUSY);
  // Closing the holder releases its claims.
  EXPECT_EQ(host_->closeNode(a), 0);
  EXPECT_EQ(host_->claimInterface(b, 0), 0);
  EXPECT_EQ(host_->releaseInterface(b, 0), 0);
  EXPECT_EQ(host_->setConfiguration(b, 2), 0);
  host_->closeNode(b);
  const std::vector<SimDeviceStatus> devices = host_->devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].claims, 2u);
}

TEST_F(SimUsbHostTest, InterfaceBoundToAKernelDriverCannotBeClaimed) {
  SimPlugSettings settings;
  settings.kernelBound = {0};
  const int fd = open(plug("storage", 1, "1", {}, settings));
  EXPECT_EQ(host_->claimInterface(fd, 0), -EBUSY);
  EXPECT_EQ(host_->setConfiguration(fd, 1), -EBUSY);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, EveryIoctlOnAReadOnlyNodeIsRefused) {
  const std::string node = plug("key", 1, "1");
  const int fd = open(node, O_RDONLY);
  uint8_t buffer[18];
  EXPECT_EQ(host_->readNode(fd, buffer, sizeof buffer), 18);
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = 0xC0;
  transfer.bRequest = 1;
  transfer.wLength = 4;
  transfer.data = buffer;
  usbdevfs_urb urb = bulkUrb(0x82, buffer, 4);
  usbdevfs_urb* reaped = nullptr;
  const std::vector<std::pair<const char*, int>> results = {
      {"control", host_->control(fd, transfer)},
      {"setConfiguration", host_->setConfiguration(fd, 1)},
      {"claimInterface", host_->claimInterface(fd, 0)},
      {"releaseInterface", host_->releaseInterface(fd, 0)},
      {"setInterface", host_->setInterface(fd, 0, 0)},
      {"clearHalt", host_->clearHalt(fd, 0x82)},
      {"reset", host_->reset(fd)},
      {"request551A", host_->request551A(fd)},
      {"submitUrb", host_->submitUrb(fd, &urb)},
      {"reapUrbNoDelay", host_->reapUrbNoDelay(fd, &reaped)},
      {"discardUrb", host_->discardUrb(fd, &urb)},
  };
  for (const auto& [call, rc] : results) EXPECT_EQ(rc, -EPERM) << call;
  host_->allowIoctlsOnReadOnlyNodes(true);
  EXPECT_EQ(host_->control(fd, transfer), 4);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, PendingBuffersAreCappedAtTheMemoryLimit) {
  const int fd = open(plug("key", 1, "1"));
  std::vector<uint8_t> big(8u << 20);
  usbdevfs_urb a = bulkUrb(0x82, big.data(), static_cast<int>(big.size()));
  usbdevfs_urb b = bulkUrb(0x82, big.data(), static_cast<int>(big.size()));
  usbdevfs_urb c = bulkUrb(0x82, big.data(), 1);
  ASSERT_EQ(host_->submitUrb(fd, &a), 0);
  ASSERT_EQ(host_->submitUrb(fd, &b), 0);
  EXPECT_EQ(host_->pendingBytes(), 16u << 20);
  EXPECT_EQ(host_->submitUrb(fd, &c), -ENOMEM);
  // A discarded urb holds its memory until it is reaped.
  ASSERT_EQ(host_->discardUrb(fd, &b), 0);
  EXPECT_EQ(host_->submitUrb(fd, &c), -ENOMEM);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(host_->submitUrb(fd, &c), 0);
  host_->setMemoryLimit(1u << 30);
  EXPECT_EQ(host_->submitUrb(fd, &b), 0);
  EXPECT_EQ(host_->closeNode(fd), 0);
  EXPECT_EQ(host_->pendingBytes(), 0u);
}

TEST_F(SimUsbHostTest, UnplugCompletesPendingUrbsThenReapAnswersNoDevice) {
  const std::string node = plug("key", 1, "1");
  const int fd = open(node);
  std::vector<uint8_t> in(512);
  usbdevfs_urb first = bulkUrb(0x82, in.data(), 512);
  usbdevfs_urb second = bulkUrb(0x82, in.data(), 512);
  ASSERT_EQ(host_->submitUrb(fd, &first), 0);
  ASSERT_EQ(host_->submitUrb(fd, &second), 0);
  ASSERT_EQ(host_->unplug("1-1"), 0);
  usbdevfs_urb* reaped = nullptr;
  for (usbdevfs_urb* expected : {&first, &second}) {
    ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
    EXPECT_EQ(reaped, expected);
    EXPECT_EQ(reaped->status, -ESHUTDOWN);
  }
  // The node stays readable, so the server's poll callback runs and learns.
  EXPECT_TRUE(nodeReady(*host_, fd, 0));
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -ENODEV);
  EXPECT_EQ(host_->reapUrbNoDelay(fd, &reaped), -ENODEV);
  EXPECT_TRUE(nodeReady(*host_, fd, 0));
  EXPECT_EQ(host_->submitUrb(fd, &first), -ENODEV);
  EXPECT_EQ(host_->discardUrb(fd, &first), -ENODEV);
  EXPECT_EQ(host_->reset(fd), -ENODEV);
  EXPECT_EQ(host_->readNode(fd, in.data(), 18), -ENODEV);
  EXPECT_EQ(host_->openNode(node, O_RDWR), -ENOENT);
  EXPECT_EQ(host_->closeNode(fd), 0);
}

TEST_F(SimUsbHostTest, UnplugStatusCanBeChosen) {
  const int fd = open(plug("keyboard", 1, "1"));
  uint8_t report[8];
  usbdevfs_urb urb{};
  urb.type = USBDEVFS_URB_TYPE_INTERRUPT;
  urb.endpoint = 0x81;
  urb.buffer = report;
  urb.buffer_length = 8;
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  ASSERT_EQ(host_->setFault("1-1", SimFault::UnplugStatus, -EPROTO), 0);
  ASSERT_EQ(host_->unplug("1-1"), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(urb.status, -EPROTO);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, EndpointsFollowTheConfigurationAndAlternateSetting) {
  const int fd = open(plug("key", 1, "1"));
  uint8_t byte = 1;
  usbdevfs_urb urb = bulkUrb(0x01, &byte, 1);
  usbdevfs_urb wrongType = urb;
  wrongType.type = USBDEVFS_URB_TYPE_INTERRUPT;
  EXPECT_EQ(host_->submitUrb(fd, &wrongType), -EINVAL);
  usbdevfs_urb noEndpoint = bulkUrb(0x05, &byte, 1);
  EXPECT_EQ(host_->submitUrb(fd, &noEndpoint), -ENOENT);
  EXPECT_EQ(host_->setConfiguration(fd, 3), -EINVAL);
  EXPECT_EQ(host_->setConfiguration(fd, 2), 0);
  EXPECT_EQ(host_->submitUrb(fd, &urb), -ENOENT);  // alternate setting 0 has no endpoints
  EXPECT_EQ(host_->setInterface(fd, 0, 2), -EINVAL);
  EXPECT_EQ(host_->setInterface(fd, 0, 1), 0);
  EXPECT_EQ(host_->submitUrb(fd, &urb), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(host_->releaseInterface(fd, 0), 0);
  EXPECT_EQ(host_->setConfiguration(fd, 0), 0);
  EXPECT_EQ(host_->submitUrb(fd, &urb), -ENOENT);
  EXPECT_EQ(host_->devices()[0].setConfigZero, 1u);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, ResetFlushesUrbsClearsHaltsAndKeepsClaims) {
  const int fd = open(plug("key", 1, "1"));
  std::vector<uint8_t> in(512);
  usbdevfs_urb urb = bulkUrb(0x82, in.data(), 512);
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  ASSERT_EQ(host_->stallEndpoint("1-1", 0x01), 0);
  EXPECT_EQ(host_->reset(fd), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(urb.status, -ESHUTDOWN);
  uint8_t byte = 9;
  usbdevfs_urb out = bulkUrb(0x01, &byte, 1);
  ASSERT_EQ(host_->submitUrb(fd, &out), 0);
  ASSERT_EQ(reapWithin(*host_, fd, &reaped), 0);
  EXPECT_EQ(out.status, 0);  // the halt is gone
  const int other = open(host_->devBusUsbDir() + "/001/002");
  EXPECT_EQ(host_->claimInterface(other, 0), -EBUSY);  // the claim survived
  host_->setFault("1-1", SimFault::Reset, -EIO);
  EXPECT_EQ(host_->reset(fd), -EIO);
  EXPECT_EQ(host_->devices()[0].resets, 1u);
  host_->closeNode(other);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, Request551AIsUnknownUnlessConfigured) {
  const int fd = open(plug("key", 1, "1"));
  EXPECT_EQ(host_->request551A(fd), -ENOTTY);
  host_->setFault("1-1", SimFault::Request551A, 0);
  EXPECT_EQ(host_->request551A(fd), 0);
  host_->setFault("1-1", SimFault::Request551A, -ENODEV);
  EXPECT_EQ(host_->request551A(fd), -ENODEV);
  EXPECT_EQ(host_->devices()[0].requests551A, 3u);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, StandardControlRequestsAreAnsweredFromTheDescriptors) {
  const int fd = open(plug("key", 1, "1"));
  uint8_t data[255] = {};
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = 0x80;
  transfer.bRequest = 6;
  transfer.timeout = 1000;
  transfer.data = data;
  struct Case {
    uint16_t value;
    uint16_t length;
    int expected;
  };
  const std::vector<Case> cases = {
      {0x0100, 64, 18}, {0x0100, 8, 8}, {0x0200, 255, 32}, {0x0201, 255, 41}, {0x0300, 255, 4},
      {0x0302, 255, 34}, {0x0304, 255, -EPIPE}, {0x03EE, 255, -EPIPE}, {0x0207, 255, -EPIPE},
  };
  for (const Case& c : cases) {
    transfer.wValue = c.value;
    transfer.wLength = c.length;
    EXPECT_EQ(host_->control(fd, transfer), c.expected) << std::hex << c.value;
  }
  transfer.wValue = 0x0302;
  transfer.wIndex = 0x0409;
  ASSERT_EQ(host_->control(fd, transfer), 34);
  EXPECT_EQ(data[0], 34);
  EXPECT_EQ(data[1], 3);
  EXPECT_EQ(data[2], 'S');
  EXPECT_EQ(data[3], 0);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, ControlTimeoutIsInjectedAfterTheRequestedTime) {
  const int fd = open(plug("key", 1, "1"));
  host_->setFault("1-1", SimFault::Control, -ETIMEDOUT);
  uint8_t data[4];
  usbdevfs_ctrltransfer transfer{};
  transfer.bRequestType = 0xC0;
  transfer.bRequest = 1;
  transfer.wLength = 4;
  transfer.timeout = 30;
  transfer.data = data;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(host_->control(fd, transfer), -ETIMEDOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, HighSpeedPacingSpreadsBulkTransfersOverTime) {
  SimPlugSettings settings;
  settings.pacing = SimPacing::HighSpeed;
  const int fd = open(plug("key", 1, "1", {}, settings));
  // 1 MiB takes about 19.7 ms at 53.2 MB/s.
  std::vector<uint8_t> out(1u << 20, 0x5A);
  usbdevfs_urb urb = bulkUrb(0x01, out.data(), static_cast<int>(out.size()));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  EXPECT_FALSE(nodeReady(*host_, fd, 0));
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, fd, &reaped, 5000), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(19000));
  EXPECT_EQ(urb.actual_length, 1 << 20);
  host_->closeNode(fd);
}

TEST_F(SimUsbHostTest, ClosingANodeForgetsItsUrbs) {
  const std::string node = plug("key", 1, "1");
  const int fd = open(node);
  std::vector<uint8_t> in(4096);
  usbdevfs_urb urb = bulkUrb(0x82, in.data(), 4096);
  ASSERT_EQ(host_->submitUrb(fd, &urb), 0);
  EXPECT_EQ(host_->devices()[0].pendingUrbs, 1u);
  EXPECT_EQ(host_->closeNode(fd), 0);
  EXPECT_EQ(host_->devices()[0].pendingUrbs, 0u);
  EXPECT_EQ(host_->pendingBytes(), 0u);
  // Data sent later is not swallowed by the forgotten urb.
  const int again = open(node);
  uint8_t byte = 3;
  usbdevfs_urb out = bulkUrb(0x01, &byte, 1);
  usbdevfs_urb fresh = bulkUrb(0x82, in.data(), 4096);
  ASSERT_EQ(host_->submitUrb(again, &out), 0);
  ASSERT_EQ(host_->submitUrb(again, &fresh), 0);
  usbdevfs_urb* reaped = nullptr;
  ASSERT_EQ(reapWithin(*host_, again, &reaped), 0);
  ASSERT_EQ(reapWithin(*host_, again, &reaped), 0);
  EXPECT_EQ(fresh.actual_length, 1);
  host_->closeNode(again);
}

// The server reaps on its connection thread while other threads discard,
// read statistics and unplug; the host must stay consistent throughout.
TEST(SimUsbHostStress, SubmitReapDiscardAndUnplugFromSeveralThreads) {
  TempRoot root;
  SimUsbHost host;
  std::string error;
  const int devnum = host.plug(1, "1", makeSimUsbModel("key", {}, &error), {});
  ASSERT_GT(devnum, 0);
  const int fd = host.openNode(host.devBusUsbDir() + "/001/" + (devnum < 10 ? "00" : "0") + std::to_string(devnum), O_RDWR);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> out(64, 1);
  std::vector<uint8_t> in(64);
  usbdevfs_urb outUrb = bulkUrb(0x01, out.data(), 64);
  usbdevfs_urb inUrb = bulkUrb(0x82, in.data(), 64);
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};

  std::thread owner([&] {
    for (;;) {
      if (host.submitUrb(fd, &inUrb) != 0 || host.submitUrb(fd, &outUrb) != 0) break;
      int reaped = 0;
      while (reaped < 2) {
        usbdevfs_urb* urb = nullptr;
        const int rc = reapWithin(host, fd, &urb, 1000);
        if (rc == -ENODEV) return;
        if (rc == 0) ++reaped;
      }
      ++rounds;
    }
    // Whatever was submitted before the failure still completes.
    usbdevfs_urb* urb = nullptr;
    while (reapWithin(host, fd, &urb, 1000) == 0) {
    }
  });
  std::thread canceller([&] {
    while (!done) host.discardUrb(fd, &inUrb);
  });
  std::thread watcher([&] {
    while (!done) {
      host.devices();
      host.pendingBytes();
    }
  });
  while (rounds < 200) std::this_thread::yield();
  EXPECT_EQ(host.unplug("1-1"), 0);
  owner.join();
  done = true;
  canceller.join();
  watcher.join();
  usbdevfs_urb* urb = nullptr;
  EXPECT_EQ(host.reapUrbNoDelay(fd, &urb), -ENODEV);
  EXPECT_EQ(host.closeNode(fd), 0);
  EXPECT_EQ(host.pendingBytes(), 0u);
}

}  // namespace
