#pragma once
// The USB server's settings as parameters: each read looks the parameter up
// in the registry at the time of the check, so changes apply at the next
// request and a hidden parameter reads as absent.
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_port_settings.h"

class ParamTable;

class ParamUsbSettings : public UsbPortSettings, public UsbDiscoverySettings {
 public:
  // portCount is the product's number of physical USB ports.
  ParamUsbSettings(const ParamTable& table, int portCount) : table_(table), portCount_(portCount) {}

  int portCount() const override { return portCount_; }
  std::optional<std::string> accessMode(int port) const override;
  std::optional<std::string> portKey(int port) const override;
  std::optional<std::string> admittedIds(int port) const override;
  std::optional<int> vlanBinding(int port) const override;
  std::optional<bool> requiresTls(int port) const override;
  std::optional<bool> prereset(int port) const override;
  std::optional<int> vlanId(int vlan) const override;
  std::optional<std::string> slotVendorId(int slot) const override;
  std::optional<std::string> slotProductId(int slot) const override;
  bool listHidDevices() const override;

 private:
  std::optional<std::string> text(const char* family, int n) const;
  std::optional<int> number(const char* family, int n) const;
  std::optional<bool> onOff(const char* family, int n) const;

  const ParamTable& table_;
  const int portCount_;
};
