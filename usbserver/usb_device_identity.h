#pragma once
// What the scan learns about one USB device from sysfs: the values that
// identify it across scans, its names and where it is plugged in.
#include <string>

struct UsbDeviceIdentity {
  int speed = 0;         // 0 unknown, 1 low, 2 full, 3 high, 5 super
  int bus = 0;           // busnum
  int hubLevel = 0;      // 1 + the number of '.' in the devpath
  int parent = -1;       // kept for the status table
  int portPathHash = 0;  // hash of the devpath
  int deviceNumber = 0;  // devnum
  int versionMajor = 0;
  int versionMinor = 0;
  int deviceClass = 0;
  int deviceSubClass = 0;
  int vendorId = 0;
  int productId = 0;
  int releaseHigh = 0;  // bcdDevice, split
  int releaseLow = 0;
  int maxPower = 0;  // mA
  int nodeMajor = 0;
  int nodeMinor = 0;
  int port = 0;  // physical port 1 to 20, 0 when the layout gives none
  // Device texts, at most kTextLimit characters each.
  std::string manufacturer;
  std::string product;
  std::string serial;

  static constexpr size_t kTextLimit = 63;
};
