#pragma once
// Writes the sysfs view of the simulated buses as real files under
// <root>/sys/bus/usb/devices: one directory per device ("1-1.3") with its
// attribute files and binary "descriptors", one per interface ("1-1.3:1.0"),
// hubs ("1-1", class 09) and root hubs ("usb1" with its interface "1-0:1.0").
// Directories appear and vanish by rename, so a reader never sees a half
// written device.
#include <string>

#include "sim/usb/sim_usb_descriptors.h"

struct SimSysfsDevice {
  std::string name;     // "1-1.3"
  int bus = 0;
  int devnum = 0;
  std::string devpath;  // "1.3" ("0" for a root hub)
  std::string speed;    // "480", "12", "1.5", "5000"
  const SimDeviceDescription* description = nullptr;
};

class SimSysfsTree {
 public:
  explicit SimSysfsTree(std::string devicesDir) : devicesDir_(std::move(devicesDir)) {}

  // false when a directory cannot be written.
  bool addDevice(const SimSysfsDevice& device);
  void removeDevice(const std::string& name);

 private:
  bool publish(const std::string& name, const std::string& stagedDir);

  std::string devicesDir_;
  unsigned staging_ = 0;
};
