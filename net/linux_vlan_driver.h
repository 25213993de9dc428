#pragma once
#include <functional>

#include "core/unique_fd.h"
#include "net/vlan_driver.h"

// 802.1Q devices through the kernel's SIOCSIFVLAN request. The request goes
// through `Ioctl` so that its arguments can be recorded where the kernel has
// no VLAN support.
class LinuxVlanDriver : public VlanDriver {
 public:
  using Ioctl = std::function<int(int fd, unsigned long request, void* argument)>;

  LinuxVlanDriver();
  explicit LinuxVlanDriver(Ioctl ioctl);
  int add(const char* parent, int vlanId) override;
  int remove(const char* device) override;

 private:
  UniqueFd socket_;
  Ioctl ioctl_;
};
