#include "net/linux_phy_access.h"

#include <linux/mii.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

namespace {

// The MII data lies in the request's union, after the device name.
mii_ioctl_data* miiData(ifreq& ifr) { return reinterpret_cast<mii_ioctl_data*>(&ifr.ifr_ifru); }

}  // namespace

LinuxPhyAccess::LinuxPhyAccess() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

int LinuxPhyAccess::readRegister(const char* device, int phy, int reg, uint16_t& value) {
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", device);
  miiData(ifr)->phy_id = static_cast<uint16_t>(phy);
  miiData(ifr)->reg_num = static_cast<uint16_t>(reg);
  if (!socket_.valid() || ::ioctl(socket_.get(), SIOCGMIIREG, &ifr) != 0) return 0;
  value = miiData(ifr)->val_out;
  return 1;
}

int LinuxPhyAccess::writeRegister(const char* device, int phy, int reg, uint16_t value) {
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", device);
  miiData(ifr)->phy_id = static_cast<uint16_t>(phy);
  miiData(ifr)->reg_num = static_cast<uint16_t>(reg);
  miiData(ifr)->val_in = value;
  if (!socket_.valid() || ::ioctl(socket_.get(), SIOCSMIIREG, &ifr) != 0) return 0;
  return 1;
}
