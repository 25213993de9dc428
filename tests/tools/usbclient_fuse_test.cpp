// The usbclient fuse command: the remote disk as one file, each read and
// write going to the device. Mounting needs root.
#include <gtest/gtest.h>

#include "tests/support/command.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "tests/tools/fake_storage_server.h"
#include "tests/tools/test_bytes.h"

using namespace usbclient_test;

namespace {

constexpr uint32_t kBlocks = 2048;
constexpr off_t kDiskSize = kBlocks * 512;

// The client process serving the mount; unmounts and reaps it however the
// test ends.
class FuseClient {
 public:
  FuseClient(uint16_t port, const std::filesystem::path& dir) : mount_(dir / "mnt"), log_(dir / "log") {
    std::filesystem::create_directories(mount_);
    std::string cli = std::string(APPLIANCE_BINARY_DIR) + "/tools/usbclient/usbclient";
    std::string portText = std::to_string(port);
    pid_ = ::fork();
    if (pid_ == 0) {
      int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execl(cli.c_str(), cli.c_str(), "--host", "127.0.0.1", "--port", portText.c_str(), "fuse",
              "0", "1", mount_.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }

  ~FuseClient() {
    if (pid_ > 0) {
      std::string cmd = "umount -l " + mount_.string() + " 2>/dev/null";
      (void)!std::system(cmd.c_str());
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  std::filesystem::path file() const { return mount_ / "disk"; }

  // Waits until the file is served with the disk's size.
  bool waitForFile(off_t size = kDiskSize) {
    for (int i = 0; i < 500; ++i) {
      struct stat st;
      if (::stat(file().c_str(), &st) == 0 && st.st_size == size) return true;
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // Unmounts; the client's exit code.
  int unmount() {
    std::string cmd = "fusermount3 -u " + mount_.string();
    if (std::system(cmd.c_str()) != 0) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string log() const {
    std::string text;
    if (FILE* f = std::fopen(log_.c_str(), "r")) {
      char buf[256];
      while (std::fgets(buf, sizeof buf, f)) text += buf;
      std::fclose(f);
    }
    return text;
  }

 private:
  std::filesystem::path mount_;
  std::filesystem::path log_;
  pid_t pid_ = -1;
};

class TempDir {
 public:
  TempDir()
      : path_(std::filesystem::temp_directory_path() /
              ("usbclient_fuse_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

TEST(UsbClientFuse, FileReadsAndWritesReachTheDevice) {
  FakeStorageServer server(kBlocks);
  std::mt19937 rng(3);
  Bytes before(kDiskSize);
  for (auto& b : before) b = static_cast<uint8_t>(rng());
  server.setDisk(before);
  TempDir dir;
  {
    FuseClient client(server.port(), dir.path());
    ASSERT_TRUE(client.waitForFile()) << client.log();

    int fd = ::open(client.file().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    Bytes whole(kDiskSize);
    ASSERT_EQ(::pread(fd, whole.data(), whole.size(), 0), kDiskSize);
    EXPECT_EQ(whole, before);

    // Unaligned at both ends: the edge blocks are read, patched, written.
    Bytes patch(1000);
    for (auto& b : patch) b = static_cast<uint8_t>(rng());
    ASSERT_EQ(::pwrite(fd, patch.data(), patch.size(), 777), 1000);
    Bytes expected = before;
    std::copy(patch.begin(), patch.end(), expected.begin() + 777);
    EXPECT_EQ(server.disk(), expected);
    EXPECT_EQ(::fsync(fd), 0);

    // Past the end of the disk nothing fits.
    EXPECT_EQ(::pwrite(fd, patch.data(), 10, kDiskSize), -1);
    ::close(fd);
    EXPECT_EQ(client.unmount(), 0) << client.log();
  }
  EXPECT_EQ(server.error(), "");
}

std::string runShell(const std::string& cmd, int& status) {
  const CommandRun run = runCommand(cmd + " 2>&1");
  status = run.exitCode;
  return run.output;
}

// A real file system on the remote disk: the kernel's loop device over the
// served file, ext4 made and checked on it.
TEST(UsbClientFuse, LoopDeviceCarriesAnExt4FileSystem) {
  FakeStorageServer server(4 * kBlocks);
  TempDir dir;
  {
    FuseClient client(server.port(), dir.path());
    ASSERT_TRUE(client.waitForFile(4 * kDiskSize)) << client.log();
    int st = 0;
    std::string loop = runShell("losetup --find --show " + client.file().string(), st);
    ASSERT_EQ(st, 0) << loop;
    loop.erase(loop.find_last_not_of('\n') + 1);
    {
      // Detached however the checks end.
      std::unique_ptr<void, std::function<void(void*)>> detach(
          &st, [loop](void*) { (void)!std::system(("losetup -d " + loop).c_str()); });
      std::string out = runShell("mkfs.ext4 -q -F " + loop, st);
      EXPECT_EQ(st, 0) << out;
      out = runShell("e2fsck -fn " + loop, st);
      EXPECT_EQ(st, 0) << out;
    }
    EXPECT_EQ(client.unmount(), 0) << client.log();
  }
  // The superblock's magic sits at byte 1024 + 0x38 of the device's disk.
  Bytes disk = server.disk();
  EXPECT_EQ(disk[1024 + 0x38], 0x53);
  EXPECT_EQ(disk[1024 + 0x39], 0xEF);
  EXPECT_EQ(server.error(), "");
}

}  // namespace
