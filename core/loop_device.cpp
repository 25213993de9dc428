#include "core/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

#include <cstring>

#include "core/unique_fd.h"

int loopAttach(const char* loopDevice, const char* image, long offset) {
  const UniqueFd file(::open(image, O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return 0;
  const UniqueFd loop(::open(loopDevice, O_RDONLY | O_CLOEXEC));
  if (!loop.valid()) return 0;
  if (::ioctl(loop.get(), LOOP_SET_FD, file.get()) != 0) return 0;
  loop_info info{};
  info.lo_offset = static_cast<int>(offset);
  std::strncpy(info.lo_name, image, LO_NAME_SIZE - 1);
  if (::ioctl(loop.get(), LOOP_SET_STATUS, &info) != 0) {
    ::ioctl(loop.get(), LOOP_CLR_FD, 0);
    return 0;
  }
  return 1;
}

int loopDetach(const char* loopDevice) {
  const UniqueFd loop(::open(loopDevice, O_RDONLY | O_CLOEXEC));
  if (!loop.valid()) return 0;
  return ::ioctl(loop.get(), LOOP_CLR_FD, 0) == 0 ? 1 : 0;
}
