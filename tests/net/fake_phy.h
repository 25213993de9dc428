#pragma once
#include <map>
#include <utility>

#include "net/phy_access.h"

// PHY registers held in a map; a register can be made to fail.
class FakePhy : public PhyAccess {
 public:
  int readRegister(const char*, int phy, int reg, uint16_t& value) override {
    ++reads;
    if (failing.count({phy, reg})) return 0;
    value = registers[{phy, reg}];
    return 1;
  }
  int writeRegister(const char*, int phy, int reg, uint16_t value) override {
    if (failing.count({phy, reg})) return 0;
    if (!ignoreWrites) registers[{phy, reg}] = value;
    return 1;
  }

  std::map<std::pair<int, int>, uint16_t> registers;
  std::map<std::pair<int, int>, bool> failing;
  bool ignoreWrites = false;
  int reads = 0;
};
