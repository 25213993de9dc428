#include "core/standard_fds.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool occupyStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is fd itself here.
    int opened = open("/dev/null", O_RDWR);
    if (opened < 0) return false;
    if (opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  return true;
}
