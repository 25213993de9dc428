#pragma once
// The "usb" word of the simulation control socket:
//   usb plug MODEL BUS-DEVPATH [VID:PID] [option...]
//       options: speed=low|full|high|super  pace=none|high|full
//                disk=PATH  size=BYTES[k|M|G]  nostrings  ee
//                bound=INTERFACE  secret=TEXT
//   usb unplug BUS-DEVPATH
//   usb list
//   usb hid BUS-DEVPATH HEXREPORT
//   usb stats
//   usb fail BUS-DEVPATH open|submit|reset|control|claim|551a ERRNO|off
//   usb fail BUS-DEVPATH unplug-status ERRNO|off
//   usb fail BUS-DEVPATH stall ENDPOINT
//   usb fail memory-limit BYTES
//   usb fail readonly-ioctl eperm|allow
// ERRNO is a name (ENODEV) or number (19); 0 makes the operation succeed.
#include <string>
#include <vector>

#include "sim/sim_command_registry.h"
#include "sim/usb/sim_usb_host.h"

class SimUsbCommands {
 public:
  // Registers the word "usb"; `host` must outlive the registry's use.
  SimUsbCommands(SimUsbHost& host, SimCommandRegistry& registry);

  SimReply run(const std::vector<std::string>& arguments);

 private:
  SimReply plug(const std::vector<std::string>& arguments);
  SimReply unplug(const std::vector<std::string>& arguments);
  SimReply list();
  SimReply hid(const std::vector<std::string>& arguments);
  SimReply stats();
  SimReply fail(const std::vector<std::string>& arguments);

  SimUsbHost& host_;
};
