#include "net/linux_vlan_driver.h"

#include <linux/if_vlan.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>

LinuxVlanDriver::LinuxVlanDriver()
    : LinuxVlanDriver([](int fd, unsigned long request, void* argument) {
        return ::ioctl(fd, request, argument);
      }) {}

LinuxVlanDriver::LinuxVlanDriver(Ioctl ioctl)
    : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), ioctl_(std::move(ioctl)) {}

int LinuxVlanDriver::add(const char* parent, int vlanId) {
  vlan_ioctl_args args{};
  args.cmd = ADD_VLAN_CMD;
  std::snprintf(args.device1, sizeof args.device1, "%s", parent);
  args.u.VID = vlanId;
  return ioctl_(socket_.get(), SIOCSIFVLAN, &args) == 0 ? 1 : 0;
}

int LinuxVlanDriver::remove(const char* device) {
  vlan_ioctl_args args{};
  args.cmd = DEL_VLAN_CMD;
  std::snprintf(args.device1, sizeof args.device1, "%s", device);
  return ioctl_(socket_.get(), SIOCSIFVLAN, &args) == 0 ? 1 : 0;
}
