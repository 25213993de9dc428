#include "core/linux_fat_attributes.h"

#include <linux/msdos_fs.h>
#include <sys/ioctl.h>

#include <cerrno>

int LinuxFatAttributes::read(int fd, std::uint32_t* attributes) {
  return ::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, attributes) == 0 ? 0 : -errno;
}
