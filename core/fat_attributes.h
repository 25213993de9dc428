#pragma once
// Seam over the FAT driver's attribute request, which only a vfat file
// system answers.
#include <cstdint>

class FatAttributes {
 public:
  virtual ~FatAttributes() = default;
  // ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, attributes): 0, or -errno
  virtual int read(int fd, std::uint32_t* attributes) = 0;
};
