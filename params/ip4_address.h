#pragma once
// An IPv4 address setting (and, through Ip6Address, an IPv6 one).
#include "core/inet_addr.h"
#include "params/param.h"

// Locking: address_ and undo_ are guarded by mutex_; readers get copies.
class Ip4Address : public Param {
 public:
  Ip4Address(std::string name, const InetAddr& defaultAddress, uint32_t flags);
  // The default as dotted-quad text ("255.255.255.0"); 0.0.0.0 when it does
  // not convert.
  Ip4Address(std::string name, const char* defaultText, uint32_t flags);

  InetAddr address() const;
  // Stores the address and marks the parameter when it differs (family or
  // address); returns whether it changed.
  bool setAddress(const InetAddr& address);
  // An IPv4 address in 169.254.0.0/16.
  bool isLinkLocal() const;

  // Four decimal numbers 0..255 separated by dots.
  bool validate(std::string_view text) const override;
  std::string toText() const override;
  std::string storedText() const override { return toText(); }
  // False for a text that does not convert and for the stored address, so
  // set reports no change class for an unchanged address.
  bool setFromText(std::string_view text) override;
  // Not the all-zero address.
  bool isSet() const override;
  // IPv4: IpAddress, 4 octets in network order; IPv6: 16 octets.
  bool getBySnmp(SnmpValue& out) const override;
  int setBySnmp(int phase, const SnmpValue& value, ParamTable& table) override;

 protected:
  // Converts a numeric text of this parameter's family; false when it does
  // not convert.
  virtual bool parseText(std::string_view text, InetAddr& out) const;
  // Phase 3: apply and save (the IPv4 address also records that SNMP set it).
  int commitBySnmp(ParamTable& table);
  int undoBySnmp();
  // Keeps the current address for an undo and stores the new one.
  int actBySnmp(const InetAddr& wanted);

 private:
  InetAddr address_;
  InetAddr undo_;  // guarded by mutex_
};
