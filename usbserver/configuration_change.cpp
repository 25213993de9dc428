#include "usbserver/configuration_change.h"

#include <algorithm>
#include <cerrno>

#include "usbserver/usb_device.h"
#include "usbserver/usb_platform.h"
#include "usbserver/usb_quirks.h"

namespace {

UsbResult errorFrom(int rc) { return UsbResult::error(rc < 0 ? -rc : rc); }

bool hasCurrent(const UsbDevice& entry) {
  return entry.currentConfiguration >= 0 &&
         entry.currentConfiguration < std::min<int>(entry.configurationCount(),
                                                    static_cast<int>(entry.configurations.size()));
}

// Configuration 0 for the devices that are unconfigured through request
// 0x551A: when the kernel lacks the request or the device went, a reset
// does instead. Whatever happened, the device is cleaned up afterwards,
// unless the request did it.
ConfigurationOutcome unconfigureBy551A(UsbPlatform& platform, UsbDevice& entry) {
  const int rc = platform.request551A(entry.node);
  if (rc >= 0) return {UsbResult::ok(), false};
  if (rc == -ENOTTY || rc == -ENODEV) {
    const int reset = platform.reset(entry.node);
    return {reset < 0 ? errorFrom(reset) : UsbResult::ok(), true};
  }
  return {UsbResult::ok(), true};
}

}  // namespace

void releaseCurrentInterfaces(UsbPlatform& platform, UsbDevice& entry) {
  if (!hasCurrent(entry) || entry.node < 0) return;
  const UsbConfigRecord& config = entry.configurations[entry.currentConfiguration];
  for (int i = 0; i < config.interfaceCount; ++i) platform.releaseInterface(entry.node, config.interfaces[i]);
}

ConfigurationOutcome changeConfiguration(UsbPlatform& platform, UsbDevice& entry, int value,
                                         std::span<const uint8_t> settings) {
  const uint32_t quirks = usbQuirks(entry.id.vendorId, entry.id.productId);
  if ((quirks & USB_QUIRK_CONFIG_ONE_PRESET) && value == 1 && !entry.configurations.empty()) {
    entry.currentConfiguration = 0;
    return {UsbResult::ok(), false};
  }
  if (value != 0 && !(quirks & USB_QUIRK_ALWAYS_RECONFIGURE) && hasCurrent(entry) &&
      entry.configurations[entry.currentConfiguration].value() == value) {
    return {UsbResult::ok(), false};
  }
  releaseCurrentInterfaces(platform, entry);
  entry.currentConfiguration = -1;

  if (value == 0) {
    if (quirks & USB_QUIRK_UNCONFIGURE_BY_551A) return unconfigureBy551A(platform, entry);
    const int rc = platform.setConfiguration(entry.node, 0);
    return rc < 0 ? ConfigurationOutcome{errorFrom(rc), true} : ConfigurationOutcome{UsbResult::ok(), false};
  }

  const bool reconfigures = (quirks & USB_QUIRK_ALWAYS_RECONFIGURE) && value > 1;
  if (reconfigures) platform.request551A(entry.node);
  if (reconfigures || (quirks & USB_QUIRK_CONFIG_ZERO_FIRST)) platform.setConfiguration(entry.node, 0);
  if (const int rc = platform.setConfiguration(entry.node, static_cast<unsigned>(value)); rc < 0) {
    return {errorFrom(rc), true};
  }

  const int count = std::min<int>(entry.configurationCount(), static_cast<int>(entry.configurations.size()));
  int found = -1;
  for (int i = 0; i < count && found < 0; ++i) {
    if (entry.configurations[i].value() == value) found = i;
  }
  if (found < 0) return {UsbResult::error(53), true};
  entry.currentConfiguration = found;
  const UsbConfigRecord& config = entry.configurations[found];
  for (int i = 0; i < config.interfaceCount; ++i) {
    if (const int rc = platform.claimInterface(entry.node, config.interfaces[i]); rc < 0) {
      return {errorFrom(rc), true};
    }
  }
  for (size_t i = 0; i + 1 < settings.size(); i += 2) {
    if (const int rc = platform.setInterface(entry.node, settings[i], settings[i + 1]); rc < 0) {
      return {errorFrom(rc), true};
    }
  }
  return {UsbResult::ok(), false};
}
