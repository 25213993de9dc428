#pragma once
// UniqueFd: owns one file descriptor and closes it when it goes out of scope.
#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // gives up ownership without closing
  int release() { return std::exchange(fd_, -1); }
  // closes the owned descriptor (if any) and takes fd; close's result
  int reset(int fd = -1) {
    int result = 0;
    if (fd_ >= 0) result = ::close(fd_);
    fd_ = fd;
    return result;
  }

 private:
  int fd_ = -1;
};
