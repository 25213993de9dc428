#pragma once
// The simulated USB host: buses with plugged device models, their sysfs
// view, and usbfs device nodes with the kernel's semantics, behind the
// server's UsbPlatform interface.
//
// - A node is an eventfd (semaphore mode) that counts the completions
//   waiting to be reaped; after an unplug it stays readable for good.
// - OUT data is copied at submission; IN data, status and actual_length are
//   written into the caller's usbdevfs_urb only when it is reaped.
// - A discarded urb completes with -ECONNRESET; an unplug completes every
//   pending urb with the unplug status (-ESHUTDOWN unless set otherwise),
//   and reap answers -ENODEV once they are reaped.
// - Interfaces are claimed per descriptor (-EBUSY across descriptors, and
//   for interfaces marked as bound to a kernel driver); submission claims the
//   endpoint's interface on the fly; SET_CONFIGURATION refuses while any
//   interface is claimed.
// - Every ioctl on a read-only node answers -EPERM (unless allowed).
// - Urbs not yet reaped may hold at most the memory limit (16 MiB) of
//   buffer bytes together; a submission beyond it answers -ENOMEM.
// - Pacing per device: unthrottled, USB 2.0 high speed (bulk at 13 x 512
//   bytes per 125 us microframe) or full speed (19 x 64 bytes per 1 ms frame);
//   paced completions are delivered by the host's own thread.
//
// Locking: mutex_ guards every member below it, the devices, their models
// and the nodes. Models are called with it held. No other lock nests inside.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "sim/usb/sim_sysfs_tree.h"
#include "sim/usb/sim_usb_model.h"
#include "usbserver/usb_platform.h"

enum class SimPacing { Unthrottled, HighSpeed, FullSpeed };

// The ways a device can be told to fail (see SimUsbHost::setFault).
enum class SimFault { Open, Submit, Reset, Control, Claim, Request551A, UnplugStatus };

struct SimPlugSettings {
  std::string speed = "480";    // the sysfs speed text
  SimPacing pacing = SimPacing::Unthrottled;
  std::vector<uint8_t> kernelBound;  // interfaces held by a kernel driver
};

struct SimDeviceStatus {
  std::string name;  // "1-1.3"
  std::string model;
  uint16_t vendor = 0;
  uint16_t product = 0;
  int devnum = 0;
  std::string speed;
  SimPacing pacing = SimPacing::Unthrottled;
  uint64_t resets = 0;
  uint64_t claims = 0;
  uint64_t pendingUrbs = 0;  // submitted and not yet reaped
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  uint64_t controls = 0;         // control transfers that reached the device
  uint64_t setConfigZero = 0;
  uint64_t requests551A = 0;
};

class SimUsbHost final : public UsbPlatform {
 public:
  static constexpr size_t kDefaultMemoryLimit = 16u << 20;

  // Takes the sysfs and /dev/bus/usb locations from the root directory at
  // construction; starts the completion thread.
  SimUsbHost();
  ~SimUsbHost() override;
  SimUsbHost(const SimUsbHost&) = delete;
  SimUsbHost& operator=(const SimUsbHost&) = delete;

  // Plugs `model` in at `bus` and `devpath` ("1.3"), creating the hubs on the
  // way. The new device number, or -EINVAL (bad place), -EEXIST (occupied),
  // -EBUSY (a device sits where a hub is needed), -EIO (sysfs not writable).
  int plug(int bus, const std::string& devpath, std::unique_ptr<SimUsbModel> model, const SimPlugSettings& settings);
  // 0 or -ENOENT.
  int unplug(const std::string& name);
  // Hands an input report to a HID model. 0 or -errno.
  int injectReport(const std::string& name, std::span<const uint8_t> report);
  // Halts `endpoint` as if the device had stalled it. 0 or -errno.
  int stallEndpoint(const std::string& name, uint8_t endpoint);
  // `error` (a negative error number, or 0 for success) replaces the normal
  // outcome of the operation; for UnplugStatus it is the status pending urbs
  // complete with. clearFault restores the normal behaviour.
  int setFault(const std::string& name, SimFault fault, int error);
  int clearFault(const std::string& name, SimFault fault);
  void setMemoryLimit(size_t bytes);
  void allowIoctlsOnReadOnlyNodes(bool allow);

  std::vector<SimDeviceStatus> devices() const;
  size_t pendingBytes() const;

  // UsbPlatform
  std::string sysfsDevicesDir() const override { return sysfsDir_; }
  std::string devBusUsbDir() const override { return devDir_; }
  bool mountSysfs() override;
  int makeNode(const std::string& path, unsigned major, unsigned minor) override;
  int openNode(const std::string& path, int flags) override;
  int closeNode(int fd) override;
  ssize_t readNode(int fd, void* buffer, size_t size) override;
  off_t seekNode(int fd, off_t offset, int whence) override;
  int control(int fd, usbdevfs_ctrltransfer& transfer) override;
  int setConfiguration(int fd, unsigned value) override;
  int claimInterface(int fd, unsigned interface) override;
  int releaseInterface(int fd, unsigned interface) override;
  int setInterface(int fd, unsigned interface, unsigned alternate) override;
  int clearHalt(int fd, unsigned endpoint) override;
  int reset(int fd) override;
  int request551A(int fd) override;
  int submitUrb(int fd, usbdevfs_urb* urb) override;
  int reapUrbNoDelay(int fd, usbdevfs_urb** completed) override;
  int discardUrb(int fd, usbdevfs_urb* urb) override;
  uint32_t nodePollEvents() const override;

 private:
  struct Urb;
  struct Device;
  struct Node;
  using Clock = std::chrono::steady_clock;

  Node* nodeFor(int fd);
  int checkIoctl(Node* node, bool reap = false) const;
  Device* deviceNamed(const std::string& name);
  void pump(Device& device);
  void schedule(Device& device, std::unique_ptr<Urb> urb);
  void deliver(std::unique_ptr<Urb> urb);
  void completeAll(Device& device, int status, const std::function<bool(const Urb&)>& which);
  void dropUrbs(Device& device, const std::function<bool(const Urb&)>& which);
  int claimFor(Device& device, int fd, uint8_t interface);
  const SimEndpoint* activeEndpoint(const Device& device, uint8_t address, uint8_t* interface) const;
  int standardOrModelControl(Device& device, int fd, const SimSetup& setup, std::span<uint8_t> data);
  int applyConfiguration(Device& device, uint8_t value);
  int applyInterface(Device& device, uint8_t interface, uint8_t alternate);
  void clearEndpointHalt(Device& device, uint8_t endpoint);
  bool ensureHubs(int bus, const std::string& devpath);
  int allocateDevnum(int bus);
  void completionLoop();

  const std::string sysfsDir_;
  const std::string devDir_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  SimSysfsTree sysfs_;
  std::map<std::string, std::shared_ptr<Device>> devices_;  // by name ("1-1.3")
  std::map<std::string, int> hubs_;                         // hub or root hub name -> devnum
  std::map<int, int> nextDevnum_;                           // per bus
  std::map<int, std::unique_ptr<Node>> nodes_;              // by descriptor
  std::multimap<Clock::time_point, std::unique_ptr<Urb>> inFlight_;  // paced, not yet complete
  size_t memoryLimit_ = kDefaultMemoryLimit;
  size_t pendingBytes_ = 0;
  bool readOnlyIoctlsAllowed_ = false;
  std::thread completer_;
};
