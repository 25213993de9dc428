#pragma once
// The devices the server treats specially, by vendor and product id. One
// table row per device (or vendor, or product); callers ask for a flag.
#include <cstdint>

enum UsbQuirk : uint32_t {
  USB_QUIRK_NOT_TABLED = 1u << 0,              // never taken into the table
  USB_QUIRK_POWER_CYCLE_ON_DISCONNECT = 1u << 1,  // no 0x551A or reset: port power off
  USB_QUIRK_FIRST_CONFIG_AT_PLUG_IN = 1u << 2,    // configuration index 0 current from the start
  USB_QUIRK_UNCONFIGURE_BY_551A = 1u << 3,        // configuration 0 through request 0x551A
  USB_QUIRK_ALWAYS_RECONFIGURE = 1u << 4,         // never taken as configured; 0x551A and 0 first
  USB_QUIRK_CONFIG_ONE_PRESET = 1u << 5,          // configuration 1 is taken as set
  USB_QUIRK_CONFIG_ZERO_FIRST = 1u << 6,          // SET_CONFIGURATION 0 before any other value
  USB_QUIRK_NO_STRING_EE_AT_PLUG_IN = 1u << 7,
  USB_QUIRK_STRING_EE_REFUSED = 1u << 8,          // string 0xEE never requested from the device
  USB_QUIRK_CLEAR_HALT_NOOP = 1u << 9,            // CLEAR_HALT answered without a request
  USB_QUIRK_RESET_ON_CONTROL_TIMEOUT = 1u << 10,
  USB_QUIRK_RESET_AFTER_551A_GONE = 1u << 11,     // reset or power-cycle even after 0x551A said gone
  USB_QUIRK_CONFIG_DESCRIPTORS_FROM_DEVICE = 1u << 12,  // configurations above index 0 read from the device
};

uint32_t usbQuirks(int vendorId, int productId);

inline bool hasUsbQuirk(int vendorId, int productId, UsbQuirk quirk) {
  return (usbQuirks(vendorId, productId) & quirk) != 0;
}
