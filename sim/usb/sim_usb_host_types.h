#pragma once
// The state behind SimUsbHost, shared by its two source files: the plugged
// devices, the urbs and the open nodes. Internal to the simulated host.
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/usb/sim_usb_host.h"

struct SimUsbHost::Urb {
  usbdevfs_urb* user = nullptr;
  int fd = -1;
  Device* device = nullptr;
  uint8_t endpoint = 0;
  uint8_t interface = 0;
  uint8_t type = 0;
  size_t length = 0;          // the caller's buffer_length
  std::vector<uint8_t> data;  // OUT: copied at submission; IN: what the device sent
  int status = 0;
  size_t actual = 0;
};

struct SimUsbHost::Device {
  std::string name;
  int bus = 0;
  int devnum = 0;
  std::string devpath;
  std::unique_ptr<SimUsbModel> model;
  std::vector<uint8_t> nodeFile;
  SimPlugSettings settings;
  bool gone = false;
  uint8_t configuration = 0;              // bConfigurationValue, 0 unconfigured
  std::map<uint8_t, uint8_t> alternates;  // interface -> alternate setting
  std::map<uint8_t, int> claims;          // interface -> descriptor
  std::set<uint8_t> halted;
  std::map<uint8_t, std::deque<std::unique_ptr<Urb>>> queues;  // not yet transferred
  Clock::time_point busFreeAt{};
  std::map<uint8_t, Clock::time_point> nextPoll;  // interrupt endpoints
  std::map<SimFault, int> faults;
  SimDeviceStatus status;

  const SimConfiguration* activeConfiguration() const {
    return configuration == 0 ? nullptr : model->description().configurationByValue(configuration);
  }
  const int* fault(SimFault which) const {
    auto it = faults.find(which);
    return it == faults.end() ? nullptr : &it->second;
  }
};

struct SimUsbHost::Node {
  int fd = -1;
  std::shared_ptr<Device> device;
  bool readOnly = false;
  off_t offset = 0;
  std::deque<std::unique_ptr<Urb>> completed;
};

