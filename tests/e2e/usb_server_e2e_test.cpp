// The USB server of the running appliance, reached from the peer namespace
// with the protocol client of tools/: the device list over TCP and TLS,
// data moved to a simulated disk, a file system made, checked and read back
// through the tunnel, and the events a holding client receives when another
// takes its device or the device is unplugged.
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/appliance_process.h"

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
  const std::regex row(R"(^(\d+) (\d+) \S+ ([0-9a-f]{4}:[0-9a-f]{4}) )");
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_search(line, m, row)) out[m[3]] = {std::stoi(m[1]), std::stoi(m[2])};
  }
  return out;
}

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
    for (int i = 0; i < 50; ++i) {
      const CommandRun list = appliance_.usbclient(options + " list");
      devices = parseList(list.output);
      if (list.exitCode == 0 && devices.count(kStorage) && devices.count(kKey)) break;
      std::this_thread::sleep_for(200ms);
    }
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
  for (int i = 0; i < 50 && parseList(appliance_.usbclient("list").output).count(kKey); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_FALSE(parseList(appliance_.usbclient("list").output).count(kKey));
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
  for (int i = 0; i < 100 && !(::stat((fuseDir + "/disk").c_str(), &st) == 0 && st.st_size > 0); ++i) {
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_GT(st.st_size, 0) << fuse.output();

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
