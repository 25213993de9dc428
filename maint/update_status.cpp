#include "maint/update_status.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "maint/image_header.h"

std::atomic<int> updateState{kUpdatePrenatal};
std::atomic<int> updateError{kUpdateNoError};
std::atomic<int> updateProgress{0};
UpdateInfoText updateInfoText;

void UpdateInfoText::set(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.assign(text.substr(0, kMaxLength));
}

std::string UpdateInfoText::get() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

namespace {

bool readFully(int fd, uint8_t* buffer, size_t size) {
  size_t have = 0;
  while (have < size) {
    const ssize_t n = ::read(fd, buffer + have, size - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}

// Claims the status for a new check: only an idle or failed state may be
// reset, and the reset must not overwrite an updater that started meanwhile.
bool resetIdleStatus() {
  int state = updateState.load();
  do {
    if (state > kUpdateFailed) return false;
  } while (!updateState.compare_exchange_weak(state, kUpdatePrenatal));
  updateInfoText.set("");
  updateProgress = 0;
  updateError = kUpdateNoError;
  return true;
}

}  // namespace

int precheckImage(int fd) {
  if (fd <= 0) return kPrecheckNoFile;
  if (!resetIdleStatus()) return kPrecheckBusy;
  struct stat status;
  if (::lseek(fd, 0, SEEK_SET) != 0 || ::fstat(fd, &status) != 0) return kPrecheckShortHeader;
  ImageHeader header;
  if (!readFully(fd, header.data(), ImageHeader::kSize)) return kPrecheckShortHeader;
  // 64-bit sum: a length near 2^32 must not wrap into a small requirement.
  const uint64_t needed = uint64_t{header.length()} + ImageHeader::kSize;
  if (static_cast<uint64_t>(status.st_size) < needed) return kPrecheckShortPayload;
  if (!header.isValid()) return kPrecheckNotAnImage;
  return kPrecheckOk;
}

char* updateStateText(char* buffer, size_t size) {
  if (buffer == nullptr) return nullptr;
  if (size > 0) buffer[0] = '\0';
  const int state = updateState.load();
  if (state == kUpdateFailed) {
    if (size > 32) {
      std::snprintf(buffer, size, "Error:%d Done:%d", updateError.load(), updateProgress.load());
    }
    return buffer;
  }
  static const char* const kTexts[] = {"Prenatal", nullptr, "Alive", "Verifying", "Working",
                                       "Waiting for Restart", "Restart"};
  const char* text = "Unexpected!?";
  if (state >= 0 && state < static_cast<int>(std::size(kTexts))) text = kTexts[state];
  if (std::strlen(text) < size) std::memcpy(buffer, text, std::strlen(text) + 1);
  return buffer;
}
