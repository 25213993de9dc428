#pragma once
// The process-wide update status: written by the pre-check and by the update
// task, read by the web pages and the mail reply from other tasks. The words
// are atomics so that an updater can claim the idle state with a
// compare-and-swap; the info text has its own mutex and is copied out.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

enum UpdateState : int {
  kUpdatePrenatal = 0,  // idle
  kUpdateFailed = 1,
  kUpdateAlive = 2,
  kUpdateVerifying = 3,
  kUpdateWorking = 4,
  kUpdateWaitingForRestart = 5,
  kUpdateRestart = 6,
};

enum UpdateError : int {
  kUpdateNoError = 0,
  kUpdateBadImage = 7,        // bad header or CRC
  kUpdateNotSeekable = 101,
  kUpdateIncompatible = 255,
};

// Results of precheckImage.
enum PrecheckResult : int {
  kPrecheckOk = 0,
  kPrecheckBusy = -7,         // an update is running (state 2 to 6)
  kPrecheckNoFile = -9,
  kPrecheckShortHeader = -10,
  kPrecheckShortPayload = -11,
  kPrecheckNotAnImage = -12,
};

extern std::atomic<int> updateState;
extern std::atomic<int> updateError;
extern std::atomic<int> updateProgress;  // percent of the image written

// The text of the last compatibility check, at most 127 characters.
// Guarded by its own mutex, which nests inside nothing.
class UpdateInfoText {
 public:
  static constexpr size_t kMaxLength = 127;
  void set(std::string_view text);
  std::string get() const;

 private:
  mutable std::mutex mutex_;
  std::string text_;
};
extern UpdateInfoText updateInfoText;

// Checks an image file before the update task starts: 0 or a PrecheckResult.
// Resets the status words when no update is running. On success the file
// position is left right after the header.
int precheckImage(int fd);

// Writes the text of updateState into buffer (copied only when it fits with
// its terminator; otherwise the buffer holds the empty text) and returns
// buffer; a null buffer gives null. The failed state reads
// "Error:<error> Done:<progress>", only for buffers over 32 bytes.
char* updateStateText(char* buffer, size_t size);
