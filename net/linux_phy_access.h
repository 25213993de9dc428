#pragma once
#include "core/unique_fd.h"
#include "net/phy_access.h"

// The kernel's MII requests through a datagram socket of its own.
class LinuxPhyAccess : public PhyAccess {
 public:
  LinuxPhyAccess();
  int readRegister(const char* device, int phy, int reg, uint16_t& value) override;
  int writeRegister(const char* device, int phy, int reg, uint16_t value) override;

 private:
  UniqueFd socket_;
};
