#include "core/util_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/fat_attributes.h"
#include "core/paths.h"
#include "core/system_error.h"
#include "core/unique_fd.h"

namespace {

constexpr std::size_t kCopyBlock = 4096;
constexpr std::uint32_t kFatArchiveBit = 0x20;

constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}();

ssize_t readRetrying(int fd, void* buffer, std::size_t size) {
  ssize_t got;
  do {
    got = ::read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// The temporary sibling of a destination; removed again unless committed.
class SiblingTempFile {
 public:
  explicit SiblingTempFile(const char* destination) : path_(std::string(destination) + ".XXXXXX") {
    fd_.reset(::mkostemp(path_.data(), O_CLOEXEC));
    if (!fd_.valid()) path_.clear();
  }
  ~SiblingTempFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  SiblingTempFile(const SiblingTempFile&) = delete;
  SiblingTempFile& operator=(const SiblingTempFile&) = delete;

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  bool commit(const char* destination) {
    if (::fsync(fd_.get()) != 0 || fd_.reset() != 0) return false;
    if (::rename(path_.c_str(), destination) != 0) return false;
    path_.clear();
    return true;
  }

 private:
  std::string path_;
  UniqueFd fd_;
};

}  // namespace

long long fileSize(const char* path, char* timeText, int timeTextSize) {
  struct stat status{};
  if (::stat(path, &status) != 0) return -1;
  if (timeText != nullptr && timeTextSize > 0) {
    std::tm local{};
    ::localtime_r(&status.st_mtime, &local);
    if (std::strftime(timeText, static_cast<std::size_t>(timeTextSize), "%Y-%m-%d %H:%M", &local) == 0) {
      timeText[0] = '\0';
    }
  }
  if (S_ISDIR(status.st_mode)) return 1;
  return static_cast<long long>(status.st_size);
}

long long fileSize(const char* path, char* timeText, int timeTextSize, int* archive,
                   FatAttributes& fat) {
  const long long size = fileSize(path, timeText, timeTextSize);
  if (size < 0 || archive == nullptr) return size;
  const UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    printSystemError("fileSize", errno);
    return size;
  }
  std::uint32_t attributes = 0;
  const int result = fat.read(file.get(), &attributes);
  if (result < 0) {
    printSystemError("fileSize", -result);
    return size;
  }
  *archive = (attributes & kFatArchiveBit) != 0 ? 1 : 0;
  return size;
}

int isLinkTo(const char* path, const char* other) {
  struct stat link{}, target{}, otherStatus{};
  if (::lstat(path, &link) != 0 || !S_ISLNK(link.st_mode)) return 0;
  if (::stat(path, &target) != 0 || ::stat(other, &otherStatus) != 0) return 0;
  return target.st_ino == otherStatus.st_ino && target.st_dev == otherStatus.st_dev ? 1 : 0;
}

std::uint32_t crc32Plain(std::uint32_t crc, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < length; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xff] ^ (crc >> 8);
  return crc;
}

int copyFile(const char* source, const char* destination, std::uint32_t* crc) {
  if (crc != nullptr) *crc = 0;
  struct stat sourceStatus{};
  if (::stat(source, &sourceStatus) != 0) return 0;
  const UniqueFd in(::open(source, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return 0;

  // The mode is set on the descriptor: changing the umask would affect the
  // files other threads create meanwhile.
  mode_t mode = (sourceStatus.st_mode & S_IROTH) ? 0644 : 0600;
  struct stat destinationStatus{};
  if (::stat(destination, &destinationStatus) == 0) mode = destinationStatus.st_mode & 07777;
  SiblingTempFile out(destination);
  if (!out.valid() || ::fchmod(out.fd(), mode) != 0) return 0;

  std::vector<unsigned char> block(kCopyBlock);
  std::uint32_t sum = 0;
  for (;;) {
    // Only a read of 0 ends the copy: pipes and /proc files deliver short reads.
    const ssize_t got = readRetrying(in.get(), block.data(), block.size());
    if (got < 0) return 0;
    if (got == 0) break;
    if (!writeAll(out.fd(), block.data(), static_cast<std::size_t>(got))) return 0;
    sum = crc32Plain(sum, block.data(), static_cast<std::size_t>(got));
  }
  if (!out.commit(destination)) return 0;
  if (crc != nullptr) *crc = sum;
  return 1;
}

int tempFile() {
  std::string path = sysPath("/tmp/temp.XXXXXX");
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) {
    printSystemError("mkstemp", errno);
    return -1;
  }
  if (::unlink(path.c_str()) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int isBlocking(int fd) {
  if (fd < 0) return 0;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return 0;
  return (flags & O_NONBLOCK) == 0 ? 1 : 0;
}

int setNonBlocking(int fd, bool on) {
  if (fd < 0) return 0;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return 0;
  const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  if (wanted == flags) return 1;
  return ::fcntl(fd, F_SETFL, wanted) == 0 ? 1 : 0;
}

int diskSpaceKb(const char* path, unsigned long long* totalKb, unsigned long long* freeKb) {
  struct statfs status{};
  if (::statfs(path, &status) != 0) {
    *totalKb = 0;
    *freeKb = 0;
    return 0;
  }
  const unsigned long long kbPerBlock = static_cast<unsigned long long>(status.f_bsize) / 1024;
  *totalKb = static_cast<unsigned long long>(status.f_blocks) * kbPerBlock;
  *freeKb = static_cast<unsigned long long>(status.f_bfree) * kbPerBlock;
  return 1;
}

int readLastLine(int fd, char* buffer, int size) {
  if (size < 2) return 0;
  if (::lseek(fd, -static_cast<off_t>(size), SEEK_END) < 0) return 0;
  int filled = 0;
  while (filled < size) {
    const ssize_t got = readRetrying(fd, buffer + filled, static_cast<std::size_t>(size - filled));
    if (got <= 0) return 0;
    filled += static_cast<int>(got);
  }
  int newline = size - 2;
  while (newline >= 0 && buffer[newline] != '\n') --newline;
  if (newline < 0) return 0;
  const int start = newline + 1;
  if (start >= size - 1) return 0;
  std::memmove(buffer, buffer + start, static_cast<std::size_t>(size - start));
  buffer[size - start] = '\0';
  return 1;
}

int globErr(const char* path, int errorNumber) {
  errno = errorNumber;
  std::fprintf(stderr, "% 4d %s(%s,%d) %m\n", 482, "globErr", path, errorNumber);
  return 0;
}
