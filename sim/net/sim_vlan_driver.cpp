#include "sim/net/sim_vlan_driver.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>

SimVlanDriver::SimVlanDriver() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

int SimVlanDriver::changeUp(const std::string& device, bool up) {
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", device.c_str());
  if (!socket_.valid() || ::ioctl(socket_.get(), SIOCGIFFLAGS, &ifr) != 0) return 0;
  ifr.ifr_flags = static_cast<short>(up ? (ifr.ifr_flags | IFF_UP) : (ifr.ifr_flags & ~IFF_UP));
  return ::ioctl(socket_.get(), SIOCSIFFLAGS, &ifr) == 0 ? 1 : 0;
}

int SimVlanDriver::add(const char* parent, int vlanId) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    journal_.push_back("add " + std::string(parent) + " " + std::to_string(vlanId));
  }
  return changeUp(std::string(parent) + "." + std::to_string(vlanId), true);
}

int SimVlanDriver::remove(const char* device) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    journal_.push_back("remove " + std::string(device));
  }
  return changeUp(device, false);
}

std::vector<std::string> SimVlanDriver::journal() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return journal_;
}
