#pragma once
// Reading a USB device from its sysfs directory. Every attribute is read
// with a bounded length; a missing attribute reads as 0 or empty.
#include <string>
#include <string_view>

#include "usbserver/usb_device_identity.h"
#include "usbserver/usb_layout.h"

// Fills identity from the device directory `path` ("<sysfs>/1-1.3"). False
// for a device the server ignores: the hub controller 0424:2740, a device
// without a readable "dev" attribute, or one the port map ignores.
bool readSysfsDevice(const std::string& path, UsbLayout portMap, UsbDeviceIdentity& identity);

// A numeric attribute in the given base (10 or 16); 0 when missing or not a
// number.
int readSysfsNumber(const std::string& path, const char* attribute, int base);

// A text attribute cut at its first newline, at most 63 characters.
std::string readSysfsText(const std::string& path, const char* attribute);

// The speed code of sysfs' "speed" text ("1.5", "12", "480", "5000", ...).
int usbSpeedCode(std::string_view speed);

// The port-path hash of a devpath: a '.' shifts it left by four bits, every
// other character XORs in the decimal number that starts there.
int portPathHash(std::string_view devpath);
