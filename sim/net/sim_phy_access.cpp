#include "sim/net/sim_phy_access.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

namespace {
constexpr int kControl = 0;
constexpr int kStatus = 17;
constexpr uint16_t kLinkBit = 0x400;
constexpr uint16_t kControlDefault = 0x1000;  // auto-negotiation enabled
}  // namespace

SimPhyAccess::SimPhyAccess() : socket_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

bool SimPhyAccess::carrier(const char* device, bool& running) {
  ifreq ifr{};
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", device);
  if (!socket_.valid() || ::ioctl(socket_.get(), SIOCGIFFLAGS, &ifr) != 0) return false;
  running = (ifr.ifr_flags & IFF_RUNNING) != 0;
  return true;
}

int SimPhyAccess::readRegister(const char* device, int phy, int reg, uint16_t& value) {
  bool running = false;
  if (!carrier(device, running)) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  if (reg == kStatus) {
    auto forced = overrides_.find(phy);
    if (forced != overrides_.end() && forced->second != Override::None) {
      running = forced->second == Override::Up;
    }
    value = running ? kLinkBit : 0;
  } else if (reg == kControl) {
    auto stored = control_.find(phy);
    value = stored == control_.end() ? kControlDefault : stored->second;
  } else {
    value = 0;
  }
  return 1;
}

int SimPhyAccess::writeRegister(const char* device, int phy, int reg, uint16_t value) {
  bool running = false;
  if (!carrier(device, running)) return 0;
  std::lock_guard<std::mutex> guard(mutex_);
  if (reg == kControl) control_[phy] = value;
  return 1;
}

void SimPhyAccess::setOverride(int phy, Override state) {
  std::lock_guard<std::mutex> guard(mutex_);
  overrides_[phy] = state;
}

SimReply SimPhyAccess::command(const std::vector<std::string>& arguments) {
  static const char* const kUsage = "usage: phy N up|down|auto";
  if (arguments.size() != 2) return SimReply::failure(kUsage);
  char* end = nullptr;
  const long phy = std::strtol(arguments[0].c_str(), &end, 10);
  if (*end || phy < 0 || phy > 31) return SimReply::failure(kUsage);
  const std::string& state = arguments[1];
  if (state == "up") {
    setOverride(static_cast<int>(phy), Override::Up);
  } else if (state == "down") {
    setOverride(static_cast<int>(phy), Override::Down);
  } else if (state == "auto") {
    setOverride(static_cast<int>(phy), Override::None);
  } else {
    return SimReply::failure(kUsage);
  }
  return SimReply::success();
}
