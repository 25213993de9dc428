// The usbfs node side of SimUsbHost: what the server's UsbPlatform calls do.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <thread>

#include "sim/usb/sim_usb_host.h"
#include "sim/usb/sim_usb_host_types.h"

namespace {

constexpr auto kLongestTimeout = std::chrono::seconds(10);

// Parses "<dir>/BBB/DDD" into bus and device number.
bool parseNodePath(const std::string& dir, const std::string& path, int* bus, int* devnum) {
  if (path.size() <= dir.size() + 1 || path.compare(0, dir.size(), dir) != 0 || path[dir.size()] != '/') {
    return false;
  }
  const std::string rest = path.substr(dir.size() + 1);
  int consumed = 0;
  if (std::sscanf(rest.c_str(), "%3d/%3d%n", bus, devnum, &consumed) != 2) return false;
  return static_cast<size_t>(consumed) == rest.size() && *bus > 0 && *devnum > 0;
}

}  // namespace

SimUsbHost::Node* SimUsbHost::nodeFor(int fd) {
  auto it = nodes_.find(fd);
  return it == nodes_.end() ? nullptr : it->second.get();
}

int SimUsbHost::checkIoctl(Node* node, bool reap) const {
  if (!node) return -EBADF;
  if (node->readOnly && !readOnlyIoctlsAllowed_) return -EPERM;
  if (!reap && node->device->gone) return -ENODEV;
  return 0;
}

bool SimUsbHost::mountSysfs() { return true; }

int SimUsbHost::makeNode(const std::string& path, unsigned, unsigned) {
  // Without the privilege to make device nodes a plain file marks the node;
  // openNode goes by the path's bus and device numbers.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return -errno;
  const int rc = ::fchmod(fd, 0777) < 0 ? -errno : 0;
  ::close(fd);
  return rc;
}

int SimUsbHost::openNode(const std::string& path, int flags) {
  int bus = 0;
  int devnum = 0;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!parseNodePath(devDir_, path, &bus, &devnum)) return ::access(path.c_str(), F_OK) == 0 ? -ENODEV : -ENOENT;
  std::shared_ptr<Device> device;
  for (const auto& [name, candidate] : devices_) {
    if (candidate->bus == bus && candidate->devnum == devnum) device = candidate;
  }
  if (!device) return ::access(path.c_str(), F_OK) == 0 ? -ENODEV : -ENOENT;
  if (const int* fault = device->fault(SimFault::Open)) {
    if (*fault < 0) return *fault;
  }
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
  if (fd < 0) return -errno;
  auto node = std::make_unique<Node>();
  node->fd = fd;
  node->device = std::move(device);
  node->readOnly = (flags & O_ACCMODE) == O_RDONLY;
  nodes_[fd] = std::move(node);
  return fd;
}

int SimUsbHost::closeNode(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (!node) return -EBADF;
  Device& device = *node->device;
  dropUrbs(device, [fd](const Urb& urb) { return urb.fd == fd; });
  for (const std::unique_ptr<Urb>& urb : node->completed) {
    pendingBytes_ -= urb->length;
    --device.status.pendingUrbs;
  }
  std::erase_if(device.claims, [fd](const auto& claim) { return claim.second == fd; });
  nodes_.erase(fd);
  ::close(fd);
  return 0;
}

ssize_t SimUsbHost::readNode(int fd, void* buffer, size_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (!node) return -EBADF;
  if (node->device->gone) return -ENODEV;
  const std::vector<uint8_t>& file = node->device->nodeFile;
  if (static_cast<size_t>(node->offset) >= file.size()) return 0;
  const size_t n = std::min(size, file.size() - static_cast<size_t>(node->offset));
  std::memcpy(buffer, file.data() + node->offset, n);
  node->offset += static_cast<off_t>(n);
  return static_cast<ssize_t>(n);
}

off_t SimUsbHost::seekNode(int fd, off_t offset, int whence) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (!node) return -EBADF;
  off_t target;
  switch (whence) {  // usbfs knows no SEEK_END
    case SEEK_SET:
      target = offset;
      break;
    case SEEK_CUR:
      target = node->offset + offset;
      break;
    default:
      return -EINVAL;
  }
  if (target < 0) return -EINVAL;
  node->offset = target;
  return target;
}

// ---- configuration and interfaces --------------------------------------

const SimEndpoint* SimUsbHost::activeEndpoint(const Device& device, uint8_t address, uint8_t* interface) const {
  const SimConfiguration* config = device.activeConfiguration();
  if (!config) return nullptr;
  for (const SimAltSetting& alt : config->alternates) {
    auto current = device.alternates.find(alt.number);
    if (alt.alternate != (current == device.alternates.end() ? 0 : current->second)) continue;
    for (const SimEndpoint& ep : alt.endpoints) {
      if (ep.address == address) {
        *interface = alt.number;
        return &ep;
      }
    }
  }
  return nullptr;
}

int SimUsbHost::claimFor(Device& device, int fd, uint8_t interface) {
  if (interface >= 32) return -EINVAL;
  const SimConfiguration* config = device.activeConfiguration();
  if (!config || config->interfaceNumbers().count(interface) == 0) return -ENOENT;
  const auto& bound = device.settings.kernelBound;
  if (std::find(bound.begin(), bound.end(), interface) != bound.end()) return -EBUSY;
  auto it = device.claims.find(interface);
  if (it != device.claims.end()) return it->second == fd ? 0 : -EBUSY;
  if (const int* fault = device.fault(SimFault::Claim)) {
    if (*fault < 0) return *fault;
  }
  device.claims[interface] = fd;
  ++device.status.claims;
  return 0;
}

int SimUsbHost::applyConfiguration(Device& device, uint8_t value) {
  const SimDeviceDescription& description = device.model->description();
  if (value != 0 && !description.configurationByValue(value)) return -EINVAL;
  // Like usbfs: no configuration change while any interface is claimed.
  if (!device.claims.empty()) return -EBUSY;
  if (const SimConfiguration* config = device.activeConfiguration()) {
    for (uint8_t interface : device.settings.kernelBound) {
      if (config->interfaceNumbers().count(interface) != 0) return -EBUSY;
    }
  }
  completeAll(device, -ESHUTDOWN, [](const Urb&) { return true; });
  if (value == 0) ++device.status.setConfigZero;
  device.configuration = value;
  device.alternates.clear();
  device.halted.clear();
  device.nextPoll.clear();
  return 0;
}

int SimUsbHost::applyInterface(Device& device, uint8_t interface, uint8_t alternate) {
  const SimConfiguration* config = device.activeConfiguration();
  if (!config || !config->find(interface, alternate)) return -EINVAL;
  std::set<uint8_t> endpoints;
  for (const SimAltSetting& alt : config->alternates) {
    if (alt.number != interface) continue;
    for (const SimEndpoint& ep : alt.endpoints) endpoints.insert(ep.address);
  }
  completeAll(device, -ESHUTDOWN, [&](const Urb& urb) { return endpoints.count(urb.endpoint) != 0; });
  for (uint8_t ep : endpoints) device.halted.erase(ep);
  device.alternates[interface] = alternate;
  return 0;
}

void SimUsbHost::clearEndpointHalt(Device& device, uint8_t endpoint) {
  device.halted.erase(endpoint);
  device.model->haltCleared(endpoint);
  pump(device);
}

int SimUsbHost::setConfiguration(int fd, unsigned value) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  if (value > 255) return -EINVAL;
  return applyConfiguration(*node->device, static_cast<uint8_t>(value));
}

int SimUsbHost::claimInterface(int fd, unsigned interface) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  if (interface >= 32) return -EINVAL;
  return claimFor(*node->device, fd, static_cast<uint8_t>(interface));
}

int SimUsbHost::releaseInterface(int fd, unsigned interface) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  Device& device = *node->device;
  auto it = device.claims.find(static_cast<uint8_t>(interface));
  if (interface >= 32 || it == device.claims.end() || it->second != fd) return -EINVAL;
  device.claims.erase(it);
  // usbfs kills the urbs of a released interface and frees them unreaped.
  dropUrbs(device, [&](const Urb& urb) { return urb.fd == fd && urb.interface == interface; });
  return 0;
}

int SimUsbHost::setInterface(int fd, unsigned interface, unsigned alternate) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  if (interface >= 32 || alternate > 255) return -EINVAL;
  Device& device = *node->device;
  if (const int rc = claimFor(device, fd, static_cast<uint8_t>(interface))) return rc;
  return applyInterface(device, static_cast<uint8_t>(interface), static_cast<uint8_t>(alternate));
}

int SimUsbHost::clearHalt(int fd, unsigned endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  Device& device = *node->device;
  uint8_t interface = 0;
  if (endpoint > 255 || !activeEndpoint(device, static_cast<uint8_t>(endpoint), &interface)) return -ENOENT;
  if (const int rc = claimFor(device, fd, interface)) return rc;
  clearEndpointHalt(device, static_cast<uint8_t>(endpoint));
  return 0;
}

int SimUsbHost::reset(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  Device& device = *node->device;
  if (const int* fault = device.fault(SimFault::Reset)) {
    if (*fault < 0) return *fault;
  }
  ++device.status.resets;
  // The reset flushes every endpoint; configuration and claims survive.
  completeAll(device, -ESHUTDOWN, [](const Urb&) { return true; });
  device.halted.clear();
  device.nextPoll.clear();
  device.model->busReset();
  return 0;
}

int SimUsbHost::request551A(int fd) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  Device& device = *node->device;
  ++device.status.requests551A;
  const int* outcome = device.fault(SimFault::Request551A);
  return outcome ? *outcome : -ENOTTY;
}

// ---- control transfers -------------------------------------------------

int SimUsbHost::standardOrModelControl(Device& device, int fd, const SimSetup& setup, std::span<uint8_t> data) {
  const uint8_t recipient = setup.requestType & 0x1F;
  const bool vendor = (setup.requestType & 0x60) == 0x40;
  // usbfs claims the addressed interface on the caller's behalf.
  if (!vendor && recipient == 1) {
    if (const int rc = claimFor(device, fd, static_cast<uint8_t>(setup.index & 0xFF))) return rc;
  }
  if (!vendor && recipient == 2 && (setup.index & 0x7F) != 0) {
    uint8_t interface = 0;
    if (activeEndpoint(device, static_cast<uint8_t>(setup.index & 0xFF), &interface)) {
      if (const int rc = claimFor(device, fd, interface)) return rc;
    }
  }
  auto copyOut = [&](const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return -EPIPE;
    const size_t n = std::min(bytes.size(), data.size());
    std::memcpy(data.data(), bytes.data(), n);
    return static_cast<int>(n);
  };
  const SimDeviceDescription& description = device.model->description();
  switch (setup.requestType << 8 | setup.request) {
    case 0x8006: {  // GET_DESCRIPTOR
      const uint8_t index = setup.value & 0xFF;
      switch (setup.value >> 8) {
        case 1:
          return copyOut(description.deviceDescriptor());
        case 2:
          return copyOut(description.configurationDescriptor(index));
        case 3:
          if (description.stallingStrings.count(index) != 0) return -EPIPE;
          return copyOut(description.stringDescriptor(index));
        default:
          return -EPIPE;
      }
    }
    case 0x8000:  // GET_STATUS (device)
      return copyOut({0, 0});
    case 0x8008:  // GET_CONFIGURATION
      return copyOut({device.configuration});
    case 0x8200:  // GET_STATUS (endpoint): the halt bit
      return copyOut({static_cast<uint8_t>(device.halted.count(setup.index & 0xFF) ? 1 : 0), 0});
    case 0x0009:  // SET_CONFIGURATION
      return applyConfiguration(device, static_cast<uint8_t>(setup.value));
    case 0x010B:  // SET_INTERFACE
      return applyInterface(device, static_cast<uint8_t>(setup.index), static_cast<uint8_t>(setup.value));
    case 0x0201:  // CLEAR_FEATURE(ENDPOINT_HALT)
      if (setup.value != 0) return -EPIPE;
      clearEndpointHalt(device, static_cast<uint8_t>(setup.index));
      return 0;
    case 0x0203:  // SET_FEATURE(ENDPOINT_HALT)
      if (setup.value != 0) return -EPIPE;
      device.halted.insert(static_cast<uint8_t>(setup.index));
      return 0;
    default: {
      const int rc = device.model->control(setup, data);
      pump(device);  // a class request (a bulk-only reset) may free waiting transfers
      return rc;
    }
  }
}

int SimUsbHost::control(int fd, usbdevfs_ctrltransfer& transfer) {
  std::unique_lock<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  if (transfer.wLength > 0 && transfer.data == nullptr) return -EFAULT;
  Device& device = *node->device;
  const SimSetup setup{transfer.bRequestType, transfer.bRequest, transfer.wValue, transfer.wIndex,
                       transfer.wLength};
  std::vector<uint8_t> data(transfer.wLength);
  if (!setup.isIn() && transfer.wLength > 0) std::memcpy(data.data(), transfer.data, transfer.wLength);
  ++device.status.controls;

  std::chrono::microseconds delay{0};
  switch (device.settings.pacing) {
    case SimPacing::Unthrottled:
      break;
    case SimPacing::HighSpeed:
      delay = std::chrono::microseconds(250);
      break;
    case SimPacing::FullSpeed:
      delay = std::chrono::microseconds(1000);
      break;
  }
  int rc;
  if (const int* fault = device.fault(SimFault::Control)) {
    rc = *fault;
    if (rc == -ETIMEDOUT) {
      delay = transfer.timeout == 0 ? kLongestTimeout
                                    : std::min<std::chrono::microseconds>(
                                          std::chrono::milliseconds(transfer.timeout), kLongestTimeout);
    }
  } else {
    rc = standardOrModelControl(device, fd, setup, data);
  }
  if (rc > 0 && setup.isIn()) std::memcpy(transfer.data, data.data(), static_cast<size_t>(rc));
  if (rc >= 0) (setup.isIn() ? device.status.bytesIn : device.status.bytesOut) += setup.isIn() ? rc : transfer.wLength;
  lock.unlock();
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  return rc;
}

// ---- urbs --------------------------------------------------------------

int SimUsbHost::submitUrb(int fd, usbdevfs_urb* user) {
  if (!user) return -EFAULT;
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  Device& device = *node->device;
  if (const int* fault = device.fault(SimFault::Submit)) {
    if (*fault < 0) return *fault;
  }
  if (user->buffer_length < 0) return -EINVAL;
  if (user->buffer_length > 0 && user->buffer == nullptr) return -EFAULT;
  // The models have no isochronous endpoints, and the server moves control
  // transfers with the synchronous request only.
  if (user->type != USBDEVFS_URB_TYPE_BULK && user->type != USBDEVFS_URB_TYPE_INTERRUPT) return -EINVAL;
  uint8_t interface = 0;
  const SimEndpoint* endpoint = activeEndpoint(device, user->endpoint, &interface);
  if (!endpoint) return -ENOENT;
  const uint8_t wanted = (endpoint->attributes & 3) == 2 ? USBDEVFS_URB_TYPE_BULK : USBDEVFS_URB_TYPE_INTERRUPT;
  if ((endpoint->attributes & 3) < 2 || user->type != wanted) return -EINVAL;
  if (const int rc = claimFor(device, fd, interface)) return rc;
  const size_t length = static_cast<size_t>(user->buffer_length);
  if (length > memoryLimit_ || pendingBytes_ > memoryLimit_ - length) return -ENOMEM;

  auto urb = std::make_unique<Urb>();
  urb->user = user;
  urb->fd = fd;
  urb->device = &device;
  urb->endpoint = user->endpoint;
  urb->interface = interface;
  urb->type = user->type;
  urb->length = length;
  if (!(user->endpoint & 0x80) && length > 0) {
    const auto* bytes = static_cast<const uint8_t*>(user->buffer);
    urb->data.assign(bytes, bytes + length);
  }
  pendingBytes_ += length;
  ++device.status.pendingUrbs;
  device.queues[user->endpoint].push_back(std::move(urb));
  pump(device);
  return 0;
}

int SimUsbHost::reapUrbNoDelay(int fd, usbdevfs_urb** completed) {
  if (!completed) return -EFAULT;
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node, true)) return rc;
  if (node->completed.empty()) return node->device->gone ? -ENODEV : -EAGAIN;
  std::unique_ptr<Urb> urb = std::move(node->completed.front());
  node->completed.pop_front();
  uint64_t count = 0;
  (void)!::read(fd, &count, sizeof count);  // semaphore mode: one completion less
  // Only now does the caller's urb learn the outcome, as with usbfs.
  usbdevfs_urb* user = urb->user;
  if ((urb->endpoint & 0x80) && urb->actual > 0) std::memcpy(user->buffer, urb->data.data(), urb->actual);
  user->status = urb->status;
  user->actual_length = static_cast<int>(urb->actual);
  pendingBytes_ -= urb->length;
  --urb->device->status.pendingUrbs;
  *completed = user;
  return 0;
}

int SimUsbHost::discardUrb(int fd, usbdevfs_urb* user) {
  std::lock_guard<std::mutex> lock(mutex_);
  Node* node = nodeFor(fd);
  if (const int rc = checkIoctl(node)) return rc;
  Device& device = *node->device;
  bool found = false;
  auto match = [&](const Urb& urb) {
    if (found || urb.fd != fd || urb.user != user) return false;
    found = true;
    return true;
  };
  completeAll(device, -ECONNRESET, match);
  return found ? 0 : -EINVAL;
}

uint32_t SimUsbHost::nodePollEvents() const { return EPOLLIN | EPOLLHUP; }
