#pragma once
// Simulated PHY registers for network devices without a PHY (veth). The link
// bit of the status register follows the device's carrier (a veth follows
// its peer, so setting the peer down is a cable pull); a per-PHY override
// forces it. The control register keeps what was written, so a loopback
// toggle reads back as on real hardware.
//
// `mutex_` guards the overrides and the control registers.
#include <map>
#include <mutex>
#include <string>

#include "core/unique_fd.h"
#include "net/phy_access.h"
#include "sim/sim_command_registry.h"

class SimPhyAccess : public PhyAccess {
 public:
  enum class Override { None, Up, Down };

  SimPhyAccess();
  int readRegister(const char* device, int phy, int reg, uint16_t& value) override;
  int writeRegister(const char* device, int phy, int reg, uint16_t value) override;

  void setOverride(int phy, Override state);
  // The control socket's "phy N up|down|auto" (arguments after the word).
  SimReply command(const std::vector<std::string>& arguments);

 private:
  bool carrier(const char* device, bool& running);

  UniqueFd socket_;
  std::mutex mutex_;
  std::map<int, Override> overrides_;
  std::map<int, uint16_t> control_;
};
