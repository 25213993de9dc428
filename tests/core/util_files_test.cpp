#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "core/dir_list.h"
#include "core/fat_attributes.h"
#include "core/linux_fat_attributes.h"
#include "core/paths.h"
#include "core/unique_fd.h"
#include "core/util_files.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_task.h"
#include "core/task_message.h"

namespace {

class FakeFatAttributes : public FatAttributes {
 public:
  explicit FakeFatAttributes(int result, std::uint32_t attributes = 0)
      : result_(result), attributes_(attributes) {}
  int read(int fd, std::uint32_t* attributes) override {
    ++calls;
    lastFdWasOpen = ::fcntl(fd, F_GETFD) >= 0;
    if (result_ == 0) *attributes = attributes_;
    return result_;
  }
  int calls = 0;
  bool lastFdWasOpen = false;

 private:
  int result_;
  std::uint32_t attributes_;
};

// The umask as the kernel reports it, read without changing it.
std::string currentUmask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) return line;
  }
  return "";
}

mode_t modeOf(const std::string& path) {
  struct stat status{};
  ::stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

using FileSize = TempRootTest;

TEST_F(FileSize, SizeDirectoryMissingAndTime) {
  const std::string file = root_.writeFile("/var/data.bin", std::string(1234, 'x'));
  EXPECT_EQ(fileSize(file.c_str()), 1234);
  EXPECT_EQ(fileSize(sysPath("/var").c_str()), 1);
  EXPECT_EQ(fileSize(sysPath("/var/missing").c_str()), -1);

  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 1;
  local.tm_mday = 29;
  local.tm_hour = 13;
  local.tm_min = 7;
  local.tm_isdst = -1;
  const timespec times[2] = {{std::mktime(&local), 0}, {std::mktime(&local), 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
  char text[32];
  EXPECT_EQ(fileSize(file.c_str(), text, sizeof text), 1234);
  EXPECT_STREQ(text, "2024-02-29 13:07");
}

TEST_F(FileSize, ArchiveBitThroughTheFatSeam) {
  const std::string file = root_.writeFile("/var/slot1/a.txt", "abc");
  struct Row { int result; std::uint32_t attributes; int archive; };
  const Row rows[] = {{0, 0x20, 1}, {0, 0x21, 1}, {0, 0x01, 0}, {-ENOTTY, 0x20, 7}};
  for (const Row& row : rows) {
    FakeFatAttributes fat(row.result, row.attributes);
    int archive = 7;
    EXPECT_EQ(fileSize(file.c_str(), nullptr, 0, &archive, fat), 3);
    EXPECT_EQ(archive, row.archive);
    EXPECT_EQ(fat.calls, 1);
    EXPECT_TRUE(fat.lastFdWasOpen);
  }
  FakeFatAttributes unused(0, 0x20);
  int archive = 7;
  EXPECT_EQ(fileSize(sysPath("/var/none").c_str(), nullptr, 0, &archive, unused), -1);
  EXPECT_EQ(unused.calls, 0);

  // tmpfs and ext4 do not answer the FAT request
  LinuxFatAttributes linuxFat;
  testing::internal::CaptureStderr();
  EXPECT_EQ(fileSize(file.c_str(), nullptr, 0, &archive, linuxFat), 3);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(archive, 7);
  EXPECT_EQ(printed.rfind("fileSize: ", 0), 0u) << printed;
}

using IsLinkTo = TempRootTest;

TEST_F(IsLinkTo, OnlyASymbolicLinkToTheSameFile) {
  const std::string target = root_.writeFile("/romfs/a", "a");
  const std::string other = root_.writeFile("/romfs/b", "b");
  const std::string link = sysPath("/romfs/link");
  const std::string hard = sysPath("/romfs/hard");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(target.c_str(), hard.c_str()), 0);
  EXPECT_EQ(isLinkTo(link.c_str(), target.c_str()), 1);
  EXPECT_EQ(isLinkTo(link.c_str(), other.c_str()), 0);
  EXPECT_EQ(isLinkTo(hard.c_str(), target.c_str()), 0);
  EXPECT_EQ(isLinkTo(target.c_str(), link.c_str()), 0);
  EXPECT_EQ(isLinkTo(link.c_str(), sysPath("/romfs/none").c_str()), 0);
}

TEST(Crc32Plain, HasNoInversions) {
  // oracle: python's zlib, ~zlib.crc32(data, 0xffffffff)
  struct Row { std::string data; std::uint32_t crc; };
  std::string hello;
  for (int i = 0; i < 500; ++i) hello += "hello world";
  const Row rows[] = {{"", 0}, {"a", 0x3ab551ce}, {"123456789", 0x2dfd2d88}, {hello, 0xeac94278}};
  for (const Row& row : rows) EXPECT_EQ(crc32Plain(0, row.data.data(), row.data.size()), row.crc);
  EXPECT_EQ(crc32Plain(crc32Plain(0, "1234", 4), "56789", 5), 0x2dfd2d88u);
}

using CopyFile = TempRootTest;

TEST_F(CopyFile, ReplacesALongerDestinationExactly) {
  std::string content;
  for (int i = 0; i < 500; ++i) content += "hello world";
  const std::string source = root_.writeFile("/flash/source", content);
  const std::string destination = root_.writeFile("/var/slot1/copy", std::string(9000, 'z'));
  ::chmod(destination.c_str(), 0640);
  const std::string umaskBefore = currentUmask();
  std::uint32_t crc = 1;
  EXPECT_EQ(copyFile(source.c_str(), destination.c_str(), &crc), 1);
  EXPECT_EQ(readFileText(destination), content);
  EXPECT_EQ(crc, 0xeac94278u);
  EXPECT_EQ(modeOf(destination), 0640u);  // an existing destination keeps its mode
  EXPECT_EQ(currentUmask(), umaskBefore);
}

TEST_F(CopyFile, NewDestinationModeFollowsTheSource) {
  const std::string open = root_.writeFile("/flash/open", "o");
  const std::string secret = root_.writeFile("/flash/secret", "s");
  ::chmod(open.c_str(), 0604);
  ::chmod(secret.c_str(), 0640);
  const std::string openCopy = sysPath("/var/open");
  const std::string secretCopy = sysPath("/var/secret");
  root_.makeDirs("/var");
  EXPECT_EQ(copyFile(open.c_str(), openCopy.c_str()), 1);
  EXPECT_EQ(copyFile(secret.c_str(), secretCopy.c_str()), 1);
  EXPECT_EQ(modeOf(openCopy), 0644u);
  EXPECT_EQ(modeOf(secretCopy), 0600u);
}

TEST_F(CopyFile, FailureKeepsTheOldDestination) {
  const std::string destination = root_.writeFile("/var/keep", "old");
  std::uint32_t crc = 5;
  EXPECT_EQ(copyFile(sysPath("/var/none").c_str(), destination.c_str(), &crc), 0);
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(readFileText(destination), "old");
  // a directory cannot be read as a file
  EXPECT_EQ(copyFile(sysPath("/var").c_str(), destination.c_str(), &crc), 0);
  EXPECT_EQ(readFileText(destination), "old");
  DirList list(nullptr);
  EXPECT_EQ(list.scan(sysPath("/var").c_str()), 3);  // ".", ".." and keep: no temporary left
  list.clear();
}

TEST_F(CopyFile, ShortReadsFromAPipeDoNotEndTheCopy) {
  const std::string fifo = sysPath("/tmp/fifo");
  root_.makeDirs("/tmp");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    const UniqueFd out(::open(fifo.c_str(), O_WRONLY));
    for (int i = 0; i < 10; ++i) {
      const std::string block(1000, static_cast<char>('a' + i));
      ASSERT_EQ(::write(out.get(), block.data(), block.size()), 1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const std::string destination = sysPath("/tmp/copy");
  EXPECT_EQ(copyFile(fifo.c_str(), destination.c_str()), 1);
  writer.join();
  EXPECT_EQ(readFileText(destination).size(), 10000u);
}

using TempFile = TempRootTest;

TEST_F(TempFile, IsAnonymousAndUnderTheRoot) {
  EXPECT_EQ(tempFile(), -1);  // the root has no /tmp yet
  root_.makeDirs("/tmp");
  const UniqueFd fd(tempFile());
  ASSERT_TRUE(fd.valid());
  struct stat status{};
  ASSERT_EQ(::fstat(fd.get(), &status), 0);
  EXPECT_EQ(status.st_nlink, 0u);
  EXPECT_EQ(::write(fd.get(), "x", 1), 1);
  DirList list;
  EXPECT_EQ(list.scan(sysPath("/tmp").c_str()), 0);
  list.clear();
}

TEST(BlockingMode, SetsAndReportsTheFlag) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
  EXPECT_EQ(isBlocking(readEnd.get()), 1);
  EXPECT_EQ(setNonBlocking(readEnd.get(), true), 1);
  EXPECT_EQ(isBlocking(readEnd.get()), 0);
  EXPECT_EQ(setNonBlocking(readEnd.get(), true), 1);  // nothing to change
  EXPECT_EQ(setNonBlocking(readEnd.get(), false), 1);
  EXPECT_EQ(isBlocking(readEnd.get()), 1);
  EXPECT_EQ(isBlocking(-1), 0);
  EXPECT_EQ(setNonBlocking(-1, true), 0);
  const int closed = ::dup(readEnd.get());
  ::close(closed);
  EXPECT_EQ(isBlocking(closed), 0);
  EXPECT_EQ(setNonBlocking(closed, false), 0);
}

using DiskSpace = TempRootTest;

TEST_F(DiskSpace, ReportsKilobytesOrZero) {
  unsigned long long total = 1, free = 1;
  EXPECT_EQ(diskSpaceKb(root_.path().c_str(), &total, &free), 1);
  EXPECT_GT(total, 0u);
  EXPECT_LE(free, total);
  EXPECT_EQ(diskSpaceKb(sysPath("/none").c_str(), &total, &free), 0);
  EXPECT_EQ(total, 0u);
  EXPECT_EQ(free, 0u);
}

using ReadLastLine = TempRootTest;

TEST_F(ReadLastLine, FindsTheLastCompleteLine) {
  struct Row { std::string content; int size; int result; std::string line; };
  const Row rows[] = {
      {"abc\ndef\n", 8, 1, "def\n"},
      {"xyz\nabc\ndef\n", 6, 1, "def\n"},
      {"abc\ndef", 7, 1, "def"},
      {"abc\ndef\n\n", 8, 0, ""},      // empty last line
      {"abcdefgh", 8, 0, ""},          // no newline
      {"ab\n", 8, 0, ""},              // shorter than size
      {"abc\nd\n", 6, 1, "d\n"},
  };
  for (const Row& row : rows) {
    const std::string path = root_.writeFile("/var/log.txt", row.content);
    const UniqueFd fd(::open(path.c_str(), O_RDONLY));
    char buffer[32];
    EXPECT_EQ(readLastLine(fd.get(), buffer, row.size), row.result) << row.content;
    if (row.result == 1) {
      EXPECT_EQ(std::string(buffer), row.line) << row.content;
    }
  }
}

TEST(GlobErr, ReportsAndContinues) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(globErr("/romfs/x", ENOENT), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " 482 globErr(/romfs/x,2) No such file or directory\n");
}

using DirListTest = TempRootTest;

TEST_F(DirListTest, ListsInOrderWithoutDotFiles) {
  root_.writeFile("/romfs/templates/b.html", "");
  root_.writeFile("/romfs/templates/a.html", "");
  root_.writeFile("/romfs/templates/.hidden", "");
  root_.makeDirs("/romfs/templates/zdir");
  root_.makeDirs("/romfs/templates/css");
  DirList list;
  EXPECT_EQ(list.count(), -1);
  const std::string path = sysPath("/romfs/templates");
  ASSERT_EQ(list.scan(path.c_str()), 4);
  EXPECT_STREQ(list.name(0), "a.html");
  EXPECT_STREQ(list.name(1), "b.html");
  EXPECT_STREQ(list.name(2), "css");
  EXPECT_STREQ(list.name(3), "zdir");
  EXPECT_EQ(list.name(4), nullptr);
  EXPECT_EQ(list.name(-1), nullptr);
  // a second scan by the holder needs no clear in between
  ASSERT_EQ(list.scanDirsFirst(path.c_str()), 4);
  EXPECT_STREQ(list.name(0), "css");
  EXPECT_STREQ(list.name(1), "zdir");
  EXPECT_STREQ(list.name(2), "a.html");
  EXPECT_STREQ(list.name(3), "b.html");
  list.clear();
  EXPECT_EQ(list.count(), -1);
  EXPECT_EQ(list.name(0), nullptr);
  EXPECT_EQ(list.scan(sysPath("/romfs/none").c_str()), 0);
  EXPECT_EQ(list.count(), -1);
  list.clear();
}

TEST_F(DirListTest, ASecondScannerWaitsForClear) {
  root_.writeFile("/var/a", "");
  const std::string path = sysPath("/var");
  DirList list;
  ASSERT_EQ(list.scan(path.c_str()), 1);
  std::atomic<int> secondResult{-2};
  testing::internal::CaptureStderr();
  std::thread second([&] {
    secondResult = list.scan(path.c_str());
    list.clear();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(secondResult.load(), -2);
  EXPECT_STREQ(list.name(0), "a");  // still ours
  list.clear();
  second.join();
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(secondResult.load(), 1);
  EXPECT_NE(printed.find("Param lock Mutex:"), std::string::npos);
}

TEST_F(DirListTest, ATaskWaitingForTheListServesItsMessages) {
  root_.writeFile("/var/a", "");
  const std::string path = sysPath("/var");
  DirList list;
  ASSERT_EQ(list.scan(path.c_str()), 1);
  std::atomic<int> secondResult{-2};
  testing::internal::CaptureStderr();
  RunningTestTask task([&](TestTask&) {
    secondResult = list.scan(path.c_str());
    list.clear();
  });
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(task.post(MSG_ADDRESS_CHANGED), 0);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // the messages were handled while the task waited for the list
  EXPECT_EQ(task.handledTypes().size(), 3u);
  EXPECT_EQ(secondResult.load(), -2);
  list.clear();
  ASSERT_TRUE(task.wait());
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(secondResult.load(), 1);
}

}  // namespace
