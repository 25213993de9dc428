#include "sim/usb/sim_disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

SimRamDisk::SimRamDisk(uint64_t bytes) : bytes_(bytes - bytes % kBlockSize) {}

bool SimRamDisk::read(uint64_t offset, std::span<uint8_t> data) {
  if (offset > bytes_ || data.size() > bytes_ - offset) return false;
  size_t done = 0;
  while (done < data.size()) {
    const uint64_t at = offset + done;
    const size_t inChunk = static_cast<size_t>(std::min<uint64_t>(kChunk - at % kChunk, data.size() - done));
    auto it = chunks_.find(at / kChunk);
    if (it == chunks_.end()) {
      std::memset(data.data() + done, 0, inChunk);
    } else {
      std::memcpy(data.data() + done, it->second.data() + at % kChunk, inChunk);
    }
    done += inChunk;
  }
  return true;
}

bool SimRamDisk::write(uint64_t offset, std::span<const uint8_t> data) {
  if (offset > bytes_ || data.size() > bytes_ - offset) return false;
  size_t done = 0;
  while (done < data.size()) {
    const uint64_t at = offset + done;
    const size_t inChunk = static_cast<size_t>(std::min<uint64_t>(kChunk - at % kChunk, data.size() - done));
    std::vector<uint8_t>& chunk = chunks_[at / kChunk];
    if (chunk.empty()) chunk.resize(kChunk);
    std::memcpy(chunk.data() + at % kChunk, data.data() + done, inChunk);
    done += inChunk;
  }
  return true;
}

SimFileDisk::SimFileDisk(const std::string& path, uint64_t bytes) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd_ < 0) return;
  struct stat st {};
  if (::fstat(fd_, &st) < 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  if (st.st_size == 0) {
    if (::ftruncate(fd_, static_cast<off_t>(bytes)) < 0) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
    bytes_ = bytes;
  } else {
    bytes_ = static_cast<uint64_t>(st.st_size);
  }
  bytes_ -= bytes_ % kBlockSize;
}

SimFileDisk::~SimFileDisk() {
  if (fd_ >= 0) ::close(fd_);
}

bool SimFileDisk::read(uint64_t offset, std::span<uint8_t> data) {
  if (offset > bytes_ || data.size() > bytes_ - offset) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pread(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // a file shortened behind our back reads as zeros
      std::memset(data.data() + done, 0, data.size() - done);
      return true;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SimFileDisk::write(uint64_t offset, std::span<const uint8_t> data) {
  if (offset > bytes_ || data.size() > bytes_ - offset) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::pwrite(fd_, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SimFileDisk::flush() { return ::fdatasync(fd_) == 0; }
