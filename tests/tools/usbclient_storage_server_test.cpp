// The client library and the usbclient command against a fake server that
// lends a mass-storage device over a RAM disk.
#include <gtest/gtest.h>

#include "tests/support/command.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "tests/tools/fake_storage_server.h"
#include "tools/usbclient/bulk_only_disk.h"

using namespace usbclient;
using namespace usbclient_test;

namespace {

constexpr uint32_t kBlocks = 2048;  // 1 MiB

Bytes randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(rng());
  return b;
}

std::unique_ptr<UsbClient> connectTo(const FakeStorageServer& server) {
  ServerAddress a;
  a.host = "127.0.0.1";
  a.port = server.port();
  a.timeoutMs = 5000;
  std::string error;
  auto t = openTransport(a, error);
  EXPECT_TRUE(t) << error;
  return std::make_unique<UsbClient>(std::move(t), 5000);
}

struct CliRun {
  int exitCode = -1;
  std::string output;
};

// Runs the usbclient command against the server and collects its output.
CliRun runCli(const FakeStorageServer& server, const std::string& args) {
  std::string cmd = std::string(APPLIANCE_BINARY_DIR) + "/tools/usbclient/usbclient --host 127.0.0.1 --port " +
                    std::to_string(server.port()) + " --timeout 5000 " + args + " 2>&1";
  const CommandRun result = runCommand(cmd);
  CliRun run;
  run.output = result.output;
  run.exitCode = result.exitCode;
  return run;
}

TEST(UsbClientStorage, BlocksWrittenAreReadBackThroughTheServer) {
  FakeStorageServer server(kBlocks);
  auto client = connectTo(server);
  DeviceRef dev{0, 1};
  Status s;
  ASSERT_EQ(client->connect(dev, "tester", s), 0);
  ASSERT_TRUE(s.ok());
  BulkOnlyInterface bot;
  std::string error;
  ASSERT_EQ(configureBulkOnly(*client, dev, bot, error), 0) << error;
  EXPECT_EQ(bot.inEndpoint, 0x81);
  BulkOnlyDisk disk(*client, dev, bot);
  ASSERT_EQ(disk.start(), 0) << disk.lastError();
  EXPECT_EQ(disk.blockCount(), kBlocks);
  EXPECT_EQ(disk.blockSize(), 512u);

  // 300 blocks: more than one 64 KiB part in each direction, and split into
  // commands of 128 blocks.
  disk.setMaxTransfer(64 * 1024);
  Bytes data = randomBytes(300 * 512, 1);
  ASSERT_EQ(disk.writeBlocks(5, 300, data.data()), 0) << disk.lastError();
  Bytes onServer = server.disk();
  EXPECT_TRUE(std::equal(data.begin(), data.end(), onServer.begin() + 5 * 512));
  disk.setMaxTransfer(1 << 20);
  Bytes back(data.size());
  ASSERT_EQ(disk.readBlocks(5, 300, back.data()), 0) << disk.lastError();
  EXPECT_EQ(back, data);
  EXPECT_EQ(disk.flush(), 0);
  EXPECT_EQ(disk.readBlocks(kBlocks - 1, 2, back.data()), -1);  // past the end
  EXPECT_EQ(server.error(), "");
}

TEST(UsbClientStorage, CommandListsTheDevice) {
  FakeStorageServer server(kBlocks);
  CliRun r = runCli(server, "list");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output, "0 1 high 0781:5567 usb 2.00 class 00 configurations 1\n");
}

TEST(UsbClientStorage, StorageCheckPassesAndLeavesTheDiskAsItWas) {
  FakeStorageServer server(kBlocks);
  Bytes before = randomBytes(kBlocks * 512, 2);
  server.setDisk(before);
  CliRun r = runCli(server, "storage-check 0 1 40");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("disk 2048 blocks of 512 bytes"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("storage check passed: 40 blocks at 3 places"), std::string::npos)
      << r.output;
  EXPECT_EQ(server.disk(), before);
  EXPECT_EQ(server.error(), "");
}

TEST(UsbClientStorage, StorageCheckOfAMissingDeviceFails) {
  FakeStorageServer server(kBlocks);
  CliRun r = runCli(server, "storage-check 3 1");
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("connect: error (class 3, code 19)"), std::string::npos) << r.output;
}

TEST(UsbClientStorage, ConnectReportsTheServersEvent) {
  FakeStorageServer server(kBlocks);
  std::thread notifier([&] {
    for (int i = 0; i < 500 && server.connects() == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    server.sendEvent(0x11, 0, 1);
  });
  CliRun r = runCli(server, "connect 0 1 20");
  notifier.join();
  EXPECT_EQ(r.exitCode, 1) << r.output;
  EXPECT_NE(r.output.find("connected index 0 port 1"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("device descriptor 12 01 00 02"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("event device-gone (0x11) index 0 port 1"), std::string::npos) << r.output;
}

TEST(UsbClientStorage, UsageErrorsComeBeforeAnyConnection) {
  FakeStorageServer server(kBlocks);
  for (const char* args : {"connect 0", "connect 0 21", "fuse 0 1", "storage-check 0 1 0", "bogus"}) {
    CliRun r = runCli(server, args);
    EXPECT_EQ(r.exitCode, 2) << args << ": " << r.output;
  }
  EXPECT_EQ(server.accepts(), 0);
}

}  // namespace
