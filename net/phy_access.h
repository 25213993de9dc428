#pragma once
// Access to the MII registers of the Ethernet PHYs behind a network device.
// On the appliance these are the kernel's MII requests; where the device has
// no PHY (a veth) the simulation answers from the carrier state instead.
#include <cstdint>

class PhyAccess {
 public:
  virtual ~PhyAccess() = default;

  // ioctl(fd, SIOCGMIIREG, {ifname, phy, reg}) -> 1 and the register, or 0
  virtual int readRegister(const char* device, int phy, int reg, uint16_t& value) = 0;
  // ioctl(fd, SIOCSMIIREG, {ifname, phy, reg, value}) -> 1, or 0
  virtual int writeRegister(const char* device, int phy, int reg, uint16_t value) = 0;
};
