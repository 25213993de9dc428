#pragma once
// The port and slot settings the access checks read, each at the time of the
// check. A setting that does not exist (hidden by the feature word or the
// table size) reads as nullopt.
#include <optional>
#include <string>

class UsbPortSettings {
 public:
  virtual ~UsbPortSettings() = default;
  // usb_port_phy: the number of physical ports.
  virtual int portCount() const = 0;
  // wyk_accctrl_<port>: "---", "key", "ids" or "keyids".
  virtual std::optional<std::string> accessMode(int port) const = 0;
  // wyk_keyval_<port>
  virtual std::optional<std::string> portKey(int port) const = 0;
  // wyk_vendprodIDs_<port>
  virtual std::optional<std::string> admittedIds(int port) const = 0;
  // wyk_2vlan_<port>
  virtual std::optional<int> vlanBinding(int port) const = 0;
  // wyk_sec_<port>
  virtual std::optional<bool> requiresTls(int port) const = 0;
  // wyk_prereset_<port>
  virtual std::optional<bool> prereset(int port) const = 0;
  // ip4vlan_id_<vlan>
  virtual std::optional<int> vlanId(int vlan) const = 0;
  // usb_vendid_<slot> and usb_prodid_<slot> (slot = table index + 1)
  virtual std::optional<std::string> slotVendorId(int slot) const = 0;
  virtual std::optional<std::string> slotProductId(int slot) const = 0;
};
