#include "sim/usb/sim_usb_host.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>

#include "core/paths.h"
#include "sim/usb/sim_usb_host_types.h"

namespace {

constexpr uint64_t kHighSpeedBulkRate = 13ull * 512 * 8000;  // bytes per second
constexpr uint64_t kFullSpeedBulkRate = 19ull * 64 * 1000;
// After an unplug the node must stay readable however often it is reaped.
constexpr uint64_t kGoneCount = 1ull << 40;

bool isHighSpeedText(const std::string& speed) { return speed == "480" || speed == "5000" || speed == "10000"; }

void signalNode(int fd, uint64_t count) {
  ssize_t n;
  do {
    n = ::write(fd, &count, sizeof count);
  } while (n < 0 && errno == EINTR);
}

SimDeviceDescription hubDescription(bool root) {
  SimDeviceDescription d;
  d.deviceClass = 9;
  d.deviceProtocol = 1;
  d.vendor = root ? 0x1D6B : 0x05E3;
  d.product = root ? 0x0002 : 0x0608;
  d.bcdDevice = root ? 0x0601 : 0x6070;
  SimConfiguration c;
  c.attributes = 0xE0;
  c.maxPower = 50;
  SimAltSetting alt;
  alt.interfaceClass = 9;
  alt.endpoints = {{0x81, 3, 1, 12}};
  c.alternates.push_back(alt);
  d.configurations.push_back(c);
  return d;
}

// "1.3.2" -> true; empty parts, zeros, ports above 31 or more than six
// levels are refused.
bool validDevpath(const std::string& devpath) {
  if (devpath.empty()) return false;
  int levels = 0;
  size_t start = 0;
  while (start <= devpath.size()) {
    size_t end = devpath.find('.', start);
    if (end == std::string::npos) end = devpath.size();
    const std::string part = devpath.substr(start, end - start);
    if (part.empty() || part.size() > 2 || !std::all_of(part.begin(), part.end(), ::isdigit)) return false;
    const int port = std::stoi(part);
    if (port < 1 || port > 31) return false;
    if (++levels > 6) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

SimUsbHost::SimUsbHost()
    : sysfsDir_(sysPath("/sys/bus/usb/devices")), devDir_(sysPath("/dev/bus/usb")), sysfs_(sysfsDir_) {
  // A host has its bus directory before anything is plugged in.
  std::error_code ignored;
  std::filesystem::create_directories(sysfsDir_, ignored);
  completer_ = std::thread([this] { completionLoop(); });
}

SimUsbHost::~SimUsbHost() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  completer_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  inFlight_.clear();
  for (auto& [fd, node] : nodes_) ::close(fd);
  nodes_.clear();
  devices_.clear();
}

// ---- plugging ----------------------------------------------------------

int SimUsbHost::allocateDevnum(int bus) {
  std::set<int> used;
  for (const auto& [name, device] : devices_) {
    if (device->bus == bus) used.insert(device->devnum);
  }
  for (const auto& [name, devnum] : hubs_) {
    if (name == "usb" + std::to_string(bus) || name.compare(0, std::to_string(bus).size() + 1, std::to_string(bus) + "-") == 0) {
      used.insert(devnum);
    }
  }
  int& next = nextDevnum_[bus];
  if (next < 2) next = 2;
  for (int tries = 0; tries < 126; ++tries) {
    const int candidate = next;
    next = next >= 127 ? 2 : next + 1;
    if (used.count(candidate) == 0) return candidate;
  }
  return -ENOSPC;
}

bool SimUsbHost::ensureHubs(int bus, const std::string& devpath) {
  static const SimDeviceDescription rootHub = hubDescription(true);
  static const SimDeviceDescription hub = hubDescription(false);
  const std::string rootName = "usb" + std::to_string(bus);
  if (hubs_.count(rootName) == 0) {
    if (!sysfs_.addDevice({rootName, bus, 1, "0", "480", &rootHub})) return false;
    hubs_[rootName] = 1;
  }
  for (size_t dot = devpath.find('.'); dot != std::string::npos; dot = devpath.find('.', dot + 1)) {
    const std::string hubPath = devpath.substr(0, dot);
    const std::string name = std::to_string(bus) + "-" + hubPath;
    if (hubs_.count(name) != 0) continue;
    const int devnum = allocateDevnum(bus);
    if (devnum < 0 || !sysfs_.addDevice({name, bus, devnum, hubPath, "480", &hub})) return false;
    hubs_[name] = devnum;
  }
  return true;
}

int SimUsbHost::plug(int bus, const std::string& devpath, std::unique_ptr<SimUsbModel> model,
                     const SimPlugSettings& settings) {
  if (bus < 1 || bus > 127 || !validDevpath(devpath) || !model) return -EINVAL;
  const std::string name = std::to_string(bus) + "-" + devpath;
  std::lock_guard<std::mutex> lock(mutex_);
  if (devices_.count(name) != 0 || hubs_.count(name) != 0) return -EEXIST;
  for (size_t dot = devpath.find('.'); dot != std::string::npos; dot = devpath.find('.', dot + 1)) {
    if (devices_.count(std::to_string(bus) + "-" + devpath.substr(0, dot)) != 0) return -EBUSY;
  }
  if (!ensureHubs(bus, devpath)) return -EIO;
  const int devnum = allocateDevnum(bus);
  if (devnum < 0) return devnum;

  auto device = std::make_shared<Device>();
  device->name = name;
  device->bus = bus;
  device->devnum = devnum;
  device->devpath = devpath;
  device->settings = settings;
  device->model = std::move(model);
  const SimDeviceDescription& description = device->model->description();
  device->nodeFile = description.nodeFile();
  // The kernel's generic driver selects the first configuration.
  if (!description.configurations.empty()) device->configuration = description.configurations.front().value;
  device->status.name = name;
  device->status.model = device->model->name();
  device->status.vendor = description.vendor;
  device->status.product = description.product;
  device->status.devnum = devnum;
  device->status.speed = settings.speed;
  device->status.pacing = settings.pacing;
  if (!sysfs_.addDevice({name, bus, devnum, devpath, settings.speed, &description})) {
    sysfs_.removeDevice(name);
    return -EIO;
  }
  devices_[name] = std::move(device);
  return devnum;
}

int SimUsbHost::unplug(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = devices_.find(name);
  if (it == devices_.end()) return -ENOENT;
  std::shared_ptr<Device> device = it->second;
  devices_.erase(it);
  device->gone = true;
  sysfs_.removeDevice(name);
  const int* status = device->fault(SimFault::UnplugStatus);
  completeAll(*device, status ? *status : -ESHUTDOWN, [](const Urb&) { return true; });
  for (auto& [fd, node] : nodes_) {
    if (node->device == device) signalNode(fd, kGoneCount);
  }
  return 0;
}

SimUsbHost::Device* SimUsbHost::deviceNamed(const std::string& name) {
  auto it = devices_.find(name);
  return it == devices_.end() ? nullptr : it->second.get();
}

int SimUsbHost::injectReport(const std::string& name, std::span<const uint8_t> report) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = deviceNamed(name);
  if (!device) return -ENOENT;
  const int rc = device->model->injectReport(report);
  if (rc == 0) pump(*device);
  return rc;
}

int SimUsbHost::stallEndpoint(const std::string& name, uint8_t endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = deviceNamed(name);
  if (!device) return -ENOENT;
  device->halted.insert(endpoint);
  pump(*device);
  return 0;
}

int SimUsbHost::setFault(const std::string& name, SimFault fault, int error) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = deviceNamed(name);
  if (!device) return -ENOENT;
  device->faults[fault] = error;
  return 0;
}

int SimUsbHost::clearFault(const std::string& name, SimFault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device* device = deviceNamed(name);
  if (!device) return -ENOENT;
  device->faults.erase(fault);
  return 0;
}

void SimUsbHost::setMemoryLimit(size_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  memoryLimit_ = bytes;
}

void SimUsbHost::allowIoctlsOnReadOnlyNodes(bool allow) {
  std::lock_guard<std::mutex> lock(mutex_);
  readOnlyIoctlsAllowed_ = allow;
}

std::vector<SimDeviceStatus> SimUsbHost::devices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SimDeviceStatus> list;
  for (const auto& [name, device] : devices_) list.push_back(device->status);
  return list;
}

size_t SimUsbHost::pendingBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pendingBytes_;
}

// ---- transfers ---------------------------------------------------------

void SimUsbHost::schedule(Device& device, std::unique_ptr<Urb> urb) {
  const Clock::time_point now = Clock::now();
  Clock::time_point due = now;
  const SimPacing pacing = device.settings.pacing;
  if (pacing != SimPacing::Unthrottled) {
    const bool highSpeed = pacing == SimPacing::HighSpeed;
    if (urb->type == USBDEVFS_URB_TYPE_INTERRUPT) {
      // One transaction per polling interval of the endpoint.
      uint8_t interval = 1;
      if (const SimConfiguration* config = device.activeConfiguration()) {
        for (const SimAltSetting& alt : config->alternates) {
          for (const SimEndpoint& ep : alt.endpoints) {
            if (ep.address == urb->endpoint) interval = std::max<uint8_t>(ep.interval, 1);
          }
        }
      }
      const auto period = isHighSpeedText(device.settings.speed)
                              ? std::chrono::microseconds(125) * (1u << std::min<uint8_t>(interval - 1, 15))
                              : std::chrono::microseconds(1000) * interval;
      Clock::time_point& next = device.nextPoll[urb->endpoint];
      due = std::max(now, next);
      next = due + std::chrono::duration_cast<Clock::duration>(period);
    } else {
      const uint64_t rate = highSpeed ? kHighSpeedBulkRate : kFullSpeedBulkRate;
      const auto cost = std::chrono::nanoseconds(std::max<uint64_t>(urb->actual, 1) * 1000000000ull / rate);
      due = std::max(now, device.busFreeAt) + cost;
      device.busFreeAt = due;
    }
  }
  if (due <= now) {
    deliver(std::move(urb));
  } else {
    inFlight_.emplace(due, std::move(urb));
    wake_.notify_one();
  }
}

void SimUsbHost::deliver(std::unique_ptr<Urb> urb) {
  auto it = nodes_.find(urb->fd);
  if (it == nodes_.end()) {  // the node was closed: the urb is forgotten
    pendingBytes_ -= urb->length;
    --urb->device->status.pendingUrbs;
    return;
  }
  it->second->completed.push_back(std::move(urb));
  signalNode(it->first, 1);
}

void SimUsbHost::pump(Device& device) {
  if (device.gone) return;
  bool progress = true;
  while (progress) {
    progress = false;
    for (auto& [endpoint, queue] : device.queues) {
      while (!queue.empty()) {
        Urb& urb = *queue.front();
        int rc;
        if (device.halted.count(endpoint) != 0) {
          rc = -EPIPE;
        } else if (endpoint & 0x80) {
          urb.data.assign(urb.length, 0);
          rc = device.model->send(endpoint, urb.data);
          if (rc >= 0) urb.actual = std::min<size_t>(static_cast<size_t>(rc), urb.length);
          urb.data.resize(urb.actual);
        } else {
          rc = device.model->receive(endpoint, urb.data);
          if (rc >= 0) urb.actual = urb.length;
        }
        if (rc == -EAGAIN) break;  // the device NAKs: the urb waits
        if (rc == -EPIPE) device.halted.insert(endpoint);
        urb.status = rc < 0 ? rc : 0;
        (endpoint & 0x80 ? device.status.bytesIn : device.status.bytesOut) += urb.actual;
        std::unique_ptr<Urb> done = std::move(queue.front());
        queue.pop_front();
        schedule(device, std::move(done));
        progress = true;
      }
    }
  }
}

void SimUsbHost::completeAll(Device& device, int status, const std::function<bool(const Urb&)>& which) {
  std::vector<std::unique_ptr<Urb>> done;
  for (auto& [endpoint, queue] : device.queues) {
    for (auto it = queue.begin(); it != queue.end();) {
      if (which(**it)) {
        done.push_back(std::move(*it));
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    if (it->second->device == &device && which(*it->second)) {
      done.push_back(std::move(it->second));
      it = inFlight_.erase(it);
    } else {
      ++it;
    }
  }
  for (std::unique_ptr<Urb>& urb : done) {
    urb->status = status;
    urb->actual = 0;
    urb->data.clear();
    deliver(std::move(urb));
  }
}

void SimUsbHost::dropUrbs(Device& device, const std::function<bool(const Urb&)>& which) {
  auto forget = [&](const Urb& urb) {
    pendingBytes_ -= urb.length;
    --device.status.pendingUrbs;
  };
  for (auto& [endpoint, queue] : device.queues) {
    for (auto it = queue.begin(); it != queue.end();) {
      if (which(**it)) {
        forget(**it);
        it = queue.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    if (it->second->device == &device && which(*it->second)) {
      forget(*it->second);
      it = inFlight_.erase(it);
    } else {
      ++it;
    }
  }
}

void SimUsbHost::completionLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (inFlight_.empty()) {
      wake_.wait(lock);
      continue;
    }
    const Clock::time_point due = inFlight_.begin()->first;
    if (due > Clock::now()) {
      wake_.wait_until(lock, due);
      continue;
    }
    auto entry = inFlight_.extract(inFlight_.begin());
    deliver(std::move(entry.mapped()));
  }
}
