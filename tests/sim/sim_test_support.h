#pragma once
// Shared by the simulation tests: a private root directory per test, and
// waiting for a usbfs completion the way the server does (poll the node for
// the platform's events, then reap).
#include <poll.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "core/paths.h"
#include "usbserver/usb_platform.h"

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "simtestXXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    setRootDirectory(path_);
  }
  ~TempRoot() {
    setRootDirectory("");
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// True when the node reports a completion (or a gone device) within `ms`.
inline bool nodeReady(const UsbPlatform& platform, int fd, int ms) {
  pollfd p{fd, static_cast<short>(platform.nodePollEvents()), 0};
  return ::poll(&p, 1, ms) > 0;
}

// Polls and reaps one urb: 0 with *urb set, or the reap error (-EAGAIN when
// nothing completed within `ms`).
inline int reapWithin(UsbPlatform& platform, int fd, usbdevfs_urb** urb, int ms = 2000) {
  if (!nodeReady(platform, fd, ms)) return -EAGAIN;
  return platform.reapUrbNoDelay(fd, urb);
}

inline usbdevfs_urb bulkUrb(uint8_t endpoint, void* buffer, int length) {
  usbdevfs_urb urb{};
  urb.type = USBDEVFS_URB_TYPE_BULK;
  urb.endpoint = endpoint;
  urb.buffer = buffer;
  urb.buffer_length = length;
  return urb;
}
