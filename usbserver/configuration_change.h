#pragma once
// A client's change of its device's configuration: the interfaces of the
// current configuration are given back, the new configuration is set and
// its interfaces claimed, with the special ways a few devices need (by
// vendor and product id, see usb_quirks.h).
#include <cstdint>
#include <span>

#include "usbserver/usb_status.h"

class UsbDevice;
class UsbPlatform;

struct ConfigurationOutcome {
  UsbResult result;
  // The device is left in an unknown state: a clean-up resets it and closes
  // its node.
  bool cleanup = false;
};

// Runs with the entry's mutex held and its node open. `settings` holds the
// (interface, alternate setting) pairs of the request.
ConfigurationOutcome changeConfiguration(UsbPlatform& platform, UsbDevice& entry, int value,
                                         std::span<const uint8_t> settings);

// USBDEVFS_RELEASEINTERFACE for every interface of the current
// configuration (results ignored). Caller holds the entry's mutex.
void releaseCurrentInterfaces(UsbPlatform& platform, UsbDevice& entry);
