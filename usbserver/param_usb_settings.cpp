#include "usbserver/param_usb_settings.h"

#include "params/int_param.h"
#include "params/param_table.h"

std::optional<std::string> ParamUsbSettings::text(const char* family, int n) const {
  if (n < 1) return std::nullopt;
  const Param* p = table_.find(family, static_cast<uint32_t>(n));
  if (!p) return std::nullopt;
  return p->storedText();
}

std::optional<int> ParamUsbSettings::number(const char* family, int n) const {
  if (n < 1) return std::nullopt;
  const IntParam* p = table_.findAs<IntParam>(family, static_cast<uint32_t>(n));
  if (!p) return std::nullopt;
  return p->value();
}

std::optional<bool> ParamUsbSettings::onOff(const char* family, int n) const {
  if (n < 1) return std::nullopt;
  const Param* p = table_.find(family, static_cast<uint32_t>(n));
  if (!p) return std::nullopt;
  return p->isOn();
}

std::optional<std::string> ParamUsbSettings::accessMode(int port) const { return text("wyk_accctrl_", port); }
std::optional<std::string> ParamUsbSettings::portKey(int port) const { return text("wyk_keyval_", port); }
std::optional<std::string> ParamUsbSettings::admittedIds(int port) const { return text("wyk_vendprodIDs_", port); }
std::optional<int> ParamUsbSettings::vlanBinding(int port) const { return number("wyk_2vlan_", port); }
std::optional<bool> ParamUsbSettings::requiresTls(int port) const { return onOff("wyk_sec_", port); }
std::optional<bool> ParamUsbSettings::prereset(int port) const { return onOff("wyk_prereset_", port); }
std::optional<int> ParamUsbSettings::vlanId(int vlan) const { return number("ip4vlan_id_", vlan); }
std::optional<std::string> ParamUsbSettings::slotVendorId(int slot) const { return text("usb_vendid_", slot); }
std::optional<std::string> ParamUsbSettings::slotProductId(int slot) const { return text("usb_prodid_", slot); }

bool ParamUsbSettings::listHidDevices() const {
  const Param* p = table_.find("wyk_hid");
  return p && p->isOn();
}
