#pragma once
// A six-byte hardware address setting.
#include <array>
#include <cstdint>

#include "core/mac_addr.h"
#include "params/param.h"

// Locking: address_ and undo_ are guarded by mutex_; readers get copies.
class MacAddress : public Param {
 public:
  // 00:00:00:00:00:00
  MacAddress(std::string name, uint32_t flags);
  MacAddress(std::string name, const std::array<uint8_t, 6>& defaultBytes, uint32_t flags);

  MacAddr address() const;
  // Copies the six bytes (no modified mark).
  void assign(const MacAddr& address);

  // Six hexadecimal numbers, each at most ff, separated by colons.
  bool validate(std::string_view text) const override;
  // MacAddr's parser (also its three-field short form); true and marked
  // only when the address changed, so an unchanged address sets nothing.
  bool setFromText(std::string_view text) override;
  // Lower case "%02x:%02x:%02x:%02x:%02x:%02x".
  std::string toText() const override;
  std::string storedText() const override { return toText(); }
  bool isSet() const override;
  bool getBySnmp(SnmpValue& out) const override;
  int setBySnmp(int phase, const SnmpValue& value, ParamTable& table) override;

 private:
  MacAddr address_;
  MacAddr undo_;  // guarded by mutex_
};
