// The USB server of the running appliance, reached from the peer namespace
// with the protocol client of tools/: the device list over TCP and TLS,
// data moved to a simulated disk, a file system made, checked and read back
// through the tunnel, and the events a holding client receives when another
// takes its device or the device is unplugged.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/appliance_process.h"
#include "tests/support/eventually.h"

namespace {

using namespace std::chrono_literals;

struct Listed {
  int index = -1;
  int port = -1;
};

// "INDEX PORT SPEED VID:PID ..." lines of `usbclient list`, by VID:PID.
std::map<std::string, Listed> parseList(const std::string& text) {
  std::map<std::string, Listed> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    Listed d;
    char speed[16] = {}, ids[10] = {};
    if (std::sscanf(line.c_str(), "%d %d %15s %9s ", &d.index, &d.port, speed, ids) == 4 && std::strlen(ids) == 9 &&
        ids[4] == ':') {
      out[ids] = d;
    }
  }
  return out;
}

// A TCP connection from the peer namespace to the plain port; -1 when refused.
int connectFromPeer(const ApplianceProcess& appliance) {
  int fd = -1;
  appliance.net().runInPeer([&fd] {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9200);
    ::inet_pton(AF_INET, ApplianceProcess::address(), &to.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      ::close(fd);
      fd = -1;
    }
  });
  return fd;
}

// True when the server closed the connection within the limit (end of
// stream or reset); false while it stays open.
bool closedByServer(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
  char byte;
  return ::recv(fd, &byte, 1, MSG_DONTWAIT) <= 0;
}

struct Sockets {
  std::vector<int> fds;
  ~Sockets() {
    for (int fd : fds) ::close(fd);
  }
};

constexpr const char* kStorage = "0781:5567";
constexpr const char* kKey = "1d50:6001";

class UsbServerE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(appliance_.ok()) << appliance_.error();
    ASSERT_TRUE(appliance_.start(0)) << appliance_.error();
    ASSERT_TRUE(appliance_.plugProfileDevices());
  }

  // The listed devices once both profile devices show (discovery runs every second).
  std::map<std::string, Listed> awaitDevices(const std::string& options = "") {
    std::map<std::string, Listed> devices;
    eventually(
        [&] {
          const CommandRun list = appliance_.usbclient(options + " list");
          devices = parseList(list.output);
          return list.exitCode == 0 && devices.count(kStorage) && devices.count(kKey);
        },
        10000ms, 200ms);
    return devices;
  }

  static std::string ref(const Listed& d) { return std::to_string(d.index) + " " + std::to_string(d.port); }

  ApplianceProcess appliance_{"basic4"};
};

TEST_F(UsbServerE2eTest, ListsThePluggedDevicesOverTcpAndTls) {
  for (const std::string options : {"", "--tls"}) {
    SCOPED_TRACE(options);
    const auto devices = awaitDevices(options);
    ASSERT_TRUE(devices.count(kStorage)) << appliance_.usbclient(options + " list").output;
    ASSERT_TRUE(devices.count(kKey));
    EXPECT_NE(devices.at(kStorage).port, devices.at(kKey).port);
  }
}

TEST_F(UsbServerE2eTest, DataReachesTheDiskAndComesBackOverTcpAndTls) {
  const auto devices = awaitDevices();
  ASSERT_TRUE(devices.count(kStorage));
  for (const std::string options : {"", "--tls"}) {
    SCOPED_TRACE(options);
    const CommandRun check = appliance_.usbclient(options + " storage-check " + ref(devices.at(kStorage)) + " 64");
    EXPECT_EQ(check.exitCode, 0) << check.output;
  }
}

// The holder is told when another client takes its device, and the taker
// when the device is unplugged.
TEST_F(UsbServerE2eTest, HolderHearsOfTakeoverAndUnplug) {
  const auto devices = awaitDevices();
  ASSERT_TRUE(devices.count(kKey));
  const std::string key = ref(devices.at(kKey));
  const std::string client = ApplianceProcess::binary("tools/usbclient/usbclient") + " --host " +
                             ApplianceProcess::address();
  ApplianceProcess::Background first(appliance_, client + " --name first connect " + key + " 30");
  ASSERT_TRUE(first.waitForOutput("connected index")) << first.output();
  ApplianceProcess::Background second(appliance_, client + " --name second connect " + key + " 30");
  ASSERT_TRUE(second.waitForOutput("connected index")) << second.output();
  EXPECT_TRUE(first.waitForOutput("event ")) << first.output();
  EXPECT_EQ(first.wait(10s), 1) << first.output();

  ASSERT_EQ(appliance_.simctl("usb unplug 1-1.2").exitCode, 0);
  EXPECT_TRUE(second.waitForOutput("event ")) << second.output();
  EXPECT_EQ(second.wait(10s), 1) << second.output();
  EXPECT_TRUE(eventually([&] { return !parseList(appliance_.usbclient("list").output).count(kKey); }, 5000ms));
}

// Two clients per port and one more: the four-port appliance serves nine
// connections and closes the tenth at once; a place that comes free is
// taken again.
TEST_F(UsbServerE2eTest, ClientsBeyondTheLimitAreTurnedAway) {
  awaitDevices();
  Sockets clients;
  for (int i = 0; i < 9; ++i) {
    clients.fds.push_back(connectFromPeer(appliance_));
    ASSERT_GE(clients.fds.back(), 0);
    std::this_thread::sleep_for(50ms);
  }
  const int tenth = connectFromPeer(appliance_);
  ASSERT_GE(tenth, 0);
  EXPECT_TRUE(closedByServer(tenth, 3000ms));
  ::close(tenth);
  for (int fd : clients.fds) EXPECT_FALSE(closedByServer(fd, 0ms));

  ::close(clients.fds.back());
  clients.fds.pop_back();
  std::this_thread::sleep_for(500ms);
  clients.fds.push_back(connectFromPeer(appliance_));
  ASSERT_GE(clients.fds.back(), 0);
  EXPECT_FALSE(closedByServer(clients.fds.back(), 1000ms));
}

// A client that stays silent longer than the heartbeat set in the
// parameter file is dropped; one that keeps talking stays.
TEST(UsbServerHeartbeatE2eTest, SilentClientIsDropped) {
  ApplianceProcess appliance("basic4");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  std::ofstream(appliance.root() + "/etc/params.dat", std::ios::app) << " wyk_heartbeat = 2\n";
  ASSERT_TRUE(appliance.start(0)) << appliance.error();
  const std::string client = ApplianceProcess::binary("tools/usbclient/usbclient") + " --host " +
                             ApplianceProcess::address();
  int silent = -1;
  ASSERT_TRUE(eventually([&] { return (silent = connectFromPeer(appliance)) >= 0; }, 5000ms));
  const auto since = std::chrono::steady_clock::now();
  EXPECT_TRUE(closedByServer(silent, 10000ms));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  EXPECT_GE(seconds, 1.5);
  ::close(silent);
  // A client that sends its keep-alives is still served afterwards.
  EXPECT_EQ(appliance.usbclient("version").exitCode, 0);
}

// A file system made on the simulated disk through the tunnel: the client
// serves the remote disk as one file (FUSE), a loop device maps it, ext4 is
// made and filled, checked clean, and the files read back the same after a
// remount.
TEST_F(UsbServerE2eTest, FileSystemThroughTheTunnelChecksClean) {
  const auto devices = awaitDevices();
  ASSERT_TRUE(devices.count(kStorage));
  const std::string fuseDir = appliance_.root() + "/fuse";
  const std::string mountDir = appliance_.root() + "/mnt";
  ::mkdir(fuseDir.c_str(), 0700);
  ::mkdir(mountDir.c_str(), 0700);
  const std::string client = ApplianceProcess::binary("tools/usbclient/usbclient") + " --host " +
                             ApplianceProcess::address();
  ApplianceProcess::Background fuse(appliance_, client + " fuse " + ref(devices.at(kStorage)) + " " + fuseDir);
  struct Unmount {
    std::string dir;
    ~Unmount() { (void)!std::system(("fusermount3 -u -z " + dir + " 2>/dev/null").c_str()); }
  } unmountFuse{fuseDir};
  struct stat st{};
  ASSERT_TRUE(eventually([&] { return ::stat((fuseDir + "/disk").c_str(), &st) == 0 && st.st_size > 0; }, 10000ms))
      << fuse.output();

  const std::string script =
      "set -e\n"
      "loop=$(losetup --find --show " + fuseDir + "/disk)\n"
      "trap 'umount " + mountDir + " 2>/dev/null; losetup -d $loop' EXIT\n"
      "mkfs.ext4 -q -F $loop\n"
      "mount $loop " + mountDir + "\n"
      "for n in 1 2 3; do head -c $((n * 700000)) /dev/urandom > " + mountDir + "/file$n; done\n"
      "(cd " + mountDir + " && sha256sum file1 file2 file3) > " + appliance_.root() + "/sums\n"
      "umount " + mountDir + "\n"
      "e2fsck -fn $loop\n"
      "mount $loop " + mountDir + "\n"
      "(cd " + mountDir + " && sha256sum -c " + appliance_.root() + "/sums)\n";
  const std::string scriptPath = appliance_.root() + "/filesystem-check.sh";
  std::ofstream(scriptPath) << script;
  const CommandRun run = runCommand("sh " + scriptPath + " 2>&1");
  EXPECT_EQ(run.exitCode, 0) << run.output << "\nclient:\n" << fuse.output();
  EXPECT_NE(run.output.find("file3: OK"), std::string::npos) << run.output;
}

}  // namespace
