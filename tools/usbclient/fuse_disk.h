// Serves a remote disk as one regular file in a FUSE mount: every read and
// write of the file becomes block reads and writes of the device.
#pragma once

#include <sys/stat.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/usbclient/disk_image.h"

namespace usbclient {

class FuseDisk {
 public:
  // `deviceLock` guards the device (and the connection behind it); other
  // threads that use the same connection take it too.
  FuseDisk(DiskImage& image, BlockDevice& device, std::mutex& deviceLock, std::string fileName);

  // Mounts at `mountpoint` and serves requests on this thread until the file
  // system is unmounted or the process gets SIGINT/SIGTERM/SIGHUP.
  // `options` are passed on as "-o" options. 0 when served and unmounted.
  int serve(const std::string& mountpoint, const std::vector<std::string>& options);

  // FUSE callbacks' view of the mount.
  int getattr(const char* path, struct stat* st);
  int open(const char* path);
  int read(const char* path, char* buf, size_t size, off_t offset);
  int write(const char* path, const char* buf, size_t size, off_t offset);
  int fsync(const char* path);
  bool isFile(const char* path) const;
  const std::string& fileName() const { return fileName_; }

 private:
  DiskImage& image_;
  BlockDevice& device_;
  std::mutex& lock_;
  std::string fileName_;
  std::string filePath_;
};

}  // namespace usbclient
