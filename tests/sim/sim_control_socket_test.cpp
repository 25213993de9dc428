// The simulation control socket: the command registry, the line protocol,
// the "usb" commands and simctl.
#include "sim/sim_control_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "sim/usb/sim_usb_commands.h"
#include "tests/sim/sim_test_support.h"

namespace {

SimReply echo(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& a : arguments) text += a + "\n";
  return SimReply::success(text);
}

TEST(SimCommandRegistryTest, DispatchesOnTheFirstWord) {
  SimCommandRegistry registry;
  EXPECT_TRUE(registry.add("echo", echo));
  EXPECT_FALSE(registry.add("echo", echo));
  EXPECT_FALSE(registry.add("two words", echo));
  EXPECT_FALSE(registry.add("", echo));
  const SimReply reply = registry.run("  echo\ta  b\r");
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.text, "a\nb\n");
  EXPECT_EQ(registry.run("gpio set 1").text, "unknown command: gpio");
  EXPECT_FALSE(registry.run("   ").ok);
}

class SimControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registry_.add("echo", echo);
    registry_.add("fail", [](const std::vector<std::string>&) { return SimReply::failure("it broke\ndetail"); });
    ASSERT_EQ(socket_.start(SimControlSocket::defaultPath()), 0);
  }
  SimReply request(const std::string& line) {
    SimReply reply;
    EXPECT_EQ(simControlRequest(SimControlSocket::defaultPath(), line, &reply), 0) << line;
    return reply;
  }

  TempRoot root_;
  SimCommandRegistry registry_;
  SimControlSocket socket_{registry_};
};

TEST_F(SimControlSocketTest, SocketLivesUnderTheRoot) {
  EXPECT_EQ(SimControlSocket::defaultPath(), root_.path() + "/sim/control.sock");
  EXPECT_TRUE(std::filesystem::is_socket(SimControlSocket::defaultPath()));
  socket_.stop();
  EXPECT_FALSE(std::filesystem::exists(SimControlSocket::defaultPath()));
}

TEST_F(SimControlSocketTest, AnswersOkOrErrorWithTheText) {
  SimReply reply = request("echo one two");
  EXPECT_TRUE(reply.ok);
  EXPECT_EQ(reply.text, "one\ntwo\n");
  reply = request("fail");
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.text, "it broke\ndetail\n");
  reply = request("nothing");
  EXPECT_FALSE(reply.ok);
  EXPECT_EQ(reply.text, "unknown command: nothing");
}

TEST_F(SimControlSocketTest, SeveralLinesOnOneConnectionGetAnswersInOrder) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = SimControlSocket::defaultPath();
  std::memcpy(address.sun_path, path.c_str(), path.size());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string lines = "echo a\nfail\necho b c\n";
  ASSERT_EQ(::send(fd, lines.data(), lines.size(), 0), static_cast<ssize_t>(lines.size()));
  const std::string expected = "ok\na\n\nerror it broke\ndetail\n\nok\nb\nc\n\n";
  std::string answer;
  while (answer.size() < expected.size()) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 5000), 0);
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    answer.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(answer, expected);
  // A line beyond the limit is refused and ends the connection.
  const std::string longLine(SimControlSocket::kMaxLine + 10, 'x');
  ASSERT_EQ(::send(fd, longLine.data(), longLine.size(), 0), static_cast<ssize_t>(longLine.size()));
  answer.clear();
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(::poll(&p, 1, 5000), 0);
    char buffer[256];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(answer, "error line too long\n\n");
  ::close(fd);
}

class SimUsbCommandsTest : public SimControlSocketTest {
 protected:
  SimUsbHost host_;
  SimUsbCommands commands_{host_, registry_};
};

TEST_F(SimUsbCommandsTest, PlugListFailStatsAndUnplugThroughTheSocket) {
  SimReply reply = request("usb plug storage 1-1.2 1234:5678 size=1M pace=high");
  ASSERT_TRUE(reply.ok) << reply.text;
  EXPECT_EQ(reply.text, "1-1.2 dev=3\n");
  EXPECT_TRUE(request("usb plug keyboard 1-1.3").ok);
  EXPECT_EQ(request("usb list").text,
            "1-1.2 storage 1234:5678 dev=3 speed=480 pace=high\n"
            "1-1.3 keyboard 046d:c31c dev=4 speed=12 pace=none\n");
  std::ifstream vendor(host_.sysfsDevicesDir() + "/1-1.2/idVendor");
  std::string text;
  vendor >> text;
  EXPECT_EQ(text, "1234");

  EXPECT_TRUE(request("usb hid 1-1.3 0200040000000000").ok);
  EXPECT_FALSE(request("usb hid 1-1.2 00").ok);  // not a keyboard
  EXPECT_FALSE(request("usb hid 1-1.3 0g").ok);

  const int fd = host_.openNode(host_.devBusUsbDir() + "/001/003", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(request("usb fail 1-1.2 551a 0").ok);
  EXPECT_EQ(host_.request551A(fd), 0);
  EXPECT_TRUE(request("usb fail 1-1.2 reset EIO").ok);
  EXPECT_EQ(host_.reset(fd), -EIO);
  EXPECT_TRUE(request("usb fail 1-1.2 reset off").ok);
  EXPECT_EQ(host_.reset(fd), 0);
  EXPECT_TRUE(request("usb fail 1-1.2 stall 0x81").ok);
  std::vector<uint8_t> status(2);
  usbdevfs_ctrltransfer t{};
  t.bRequestType = 0x82;
  t.wIndex = 0x81;
  t.wLength = 2;
  t.data = status.data();
  EXPECT_EQ(host_.control(fd, t), 2);
  EXPECT_EQ(status[0], 1);
  EXPECT_TRUE(request("usb fail readonly-ioctl allow").ok);
  EXPECT_TRUE(request("usb fail memory-limit 1M").ok);
  std::vector<uint8_t> big(2u << 20);
  usbdevfs_urb urb = bulkUrb(0x02, big.data(), static_cast<int>(big.size()));
  EXPECT_EQ(host_.submitUrb(fd, &urb), -ENOMEM);
  EXPECT_FALSE(request("usb fail 1-1.2 explode 1").ok);
  EXPECT_FALSE(request("usb fail 9-9 reset EIO").ok);

  reply = request("usb stats");
  EXPECT_EQ(reply.text,
            "1-1.2 resets=1 claims=1 pending=0 in=2 out=0 controls=1 setconfig0=0 req551a=1\n"
            "1-1.3 resets=0 claims=0 pending=0 in=0 out=0 controls=0 setconfig0=0 req551a=0\n"
            "memory=0\n");
  host_.closeNode(fd);

  EXPECT_TRUE(request("usb unplug 1-1.2").ok);
  EXPECT_FALSE(request("usb unplug 1-1.2").ok);
  EXPECT_EQ(request("usb list").text, "1-1.3 keyboard 046d:c31c dev=4 speed=12 pace=none\n");
}

TEST_F(SimUsbCommandsTest, BadPlugRequestsAreRefused) {
  const std::vector<std::string> bad = {
      "usb plug",
      "usb plug printer 1-1",
      "usb plug key 1",
      "usb plug key x-1",
      "usb plug key 1-1 12345:1",
      "usb plug key 1-1 pace=warp",
      "usb plug key 1-1 size=12",
      "usb plug storage 1-1 disk=/nonexistent/dir/disk.img",
      "usb frobnicate",
  };
  for (const std::string& line : bad) EXPECT_FALSE(request(line).ok) << line;
  EXPECT_EQ(request("usb list").text, "");
}

TEST_F(SimUsbCommandsTest, SimctlSendsALineAndPrintsTheAnswer) {
  const std::string simctl = std::string(APPLIANCE_BINARY_DIR) + "/tools/simctl/simctl";
  ASSERT_TRUE(std::filesystem::exists(simctl));
  auto run = [&](const std::string& arguments, std::string* output) {
    FILE* pipe = ::popen((simctl + " --root " + root_.path() + " " + arguments + " 2>/dev/null").c_str(), "r");
    char buffer[512];
    output->clear();
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
    return WEXITSTATUS(::pclose(pipe));
  };
  std::string output;
  EXPECT_EQ(run("usb plug key 2-3 0d46:0001", &output), 0);
  EXPECT_EQ(output, "2-3 dev=2\n");
  EXPECT_EQ(run("usb list", &output), 0);
  EXPECT_EQ(output, "2-3 key 0d46:0001 dev=2 speed=480 pace=none\n");
  EXPECT_EQ(run("usb unplug 7-7", &output), 1);
  EXPECT_EQ(output, "");
  socket_.stop();
  EXPECT_EQ(run("usb list", &output), 2);
}

}  // namespace
