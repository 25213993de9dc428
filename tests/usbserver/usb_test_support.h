#pragma once
// Fixtures of the USB server tests: a temporary root with a synthetic sysfs
// tree, an in-memory usbfs with a journal, descriptor builders, a fake clock,
// a recording event sink and a recording client.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "usbserver/urb_request.h"
#include "usbserver/usb_client.h"
#include "usbserver/usb_clock.h"
#include "usbserver/usb_device_events.h"
#include "usbserver/usb_platform.h"

using Bytes = std::vector<uint8_t>;

// A temporary root directory, removed with everything in it.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::string& path() const { return path_; }
  void writeFile(const std::string& relative, const std::string& text) const;

 private:
  std::string path_;
};

// One device directory of the synthetic sysfs tree.
struct SysfsDevice {
  int bus = 1;
  int devnum = 2;
  std::string devpath = "1";
  int vendor = 0x1234;
  int product = 0x5678;
  int bcdDevice = 0x0100;
  int deviceClass = 0;
  int deviceSubClass = 0;
  std::string manufacturer = "Maker";
  std::string productName = "Gadget";
  std::string serial = "SN1";
  std::string speed = "480";
  std::string version = " 2.00";
  std::vector<int> interfaceClasses{0xff};
  bool hasDev = true;
  bool hasManufacturer = true;
  bool hasProduct = true;

  std::string name() const { return std::to_string(bus) + "-" + devpath; }
};

void writeSysfsDevice(const std::string& sysfsDir, const SysfsDevice& device);
void removeSysfsDevice(const std::string& sysfsDir, const SysfsDevice& device);

// Descriptor builders (USB byte order).
Bytes deviceDescriptor(int vendor, int product, int configurations, uint8_t iManufacturer = 1, uint8_t iProduct = 2,
                       uint8_t iSerial = 3);
struct EndpointSpec {
  uint8_t address;
  uint8_t attributes;  // 2 bulk, 3 interrupt
};
struct InterfaceSpec {
  uint8_t number;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0xff;
  std::vector<EndpointSpec> endpoints;
};
Bytes configurationDescriptor(uint8_t value, const std::vector<InterfaceSpec>& interfaces);
Bytes stringDescriptor(const std::string& text);
Bytes languageDescriptor(uint16_t language = 0x0409);
// A vendor device: bulk OUT 0x02 and IN 0x81, interrupt IN 0x83.
Bytes vendorNodeFile(int vendor, int product, int configurations = 1);

// The device behind one usbfs node of the fake.
struct FakeNodeDevice {
  Bytes nodeFile;
  std::map<std::pair<uint16_t, uint8_t>, Bytes> strings;  // (language, index)
  int stringRequests = 0;
  bool stringsTimeOut = false;
  int openError = 0;  // -errno for every open
  bool gone = false;
  Bytes vendorAnswer{0xCA, 0xFE};
};

// usbfs in memory: nodes keyed by bus and device number, every request in a
// journal, URBs completed by the test and copied into the caller's URB only
// when reaped.
class FakeUsbfs : public UsbPlatform {
 public:
  explicit FakeUsbfs(std::string root) : root_(std::move(root)) {}
  ~FakeUsbfs() override;

  FakeNodeDevice& addDevice(int bus, int devnum);
  void unplug(int bus, int devnum, int status = -108);

  // URB control for tests.
  struct Submitted {
    int fd;
    usbdevfs_urb* urb;
    Bytes out;  // OUT data copied at submission
  };
  std::vector<Submitted> inFlight() const;
  // Completes the oldest in-flight URB (or `urb`) with status and IN data.
  void complete(usbdevfs_urb* urb, int status, const Bytes& in = {});
  void completeOldest(int status, const Bytes& in = {});
  void failSubmission(int nth, int error) {
    failAt_ = nth;
    failError_ = error;
  }
  int submissions() const { return submissions_; }
  std::vector<std::string> journal() const;
  void clearJournal();
  int openNodes() const;
  void setControlResult(int result) { controlResult_ = result; }
  // -errno or 0: what request 0x551A and the reset answer
  void setRequest551AResult(int result) { result551A_ = result; }
  void setResetResult(int result) { resetResult_ = result; }

  std::string sysfsDevicesDir() const override { return root_ + "/sys/bus/usb/devices"; }
  std::string devBusUsbDir() const override { return root_ + "/dev/bus/usb"; }
  bool mountSysfs() override { return true; }
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
  uint32_t nodePollEvents() const override { return 0x001; }

 private:
  struct Open {
    std::pair<int, int> device;
    off_t offset = 0;
    bool writable = false;
  };
  struct Completion {
    usbdevfs_urb* urb;
    int status;
    Bytes in;
  };
  FakeNodeDevice* deviceOf(int fd);
  void log(std::string line) { journal_.push_back(std::move(line)); }

  std::string root_;
  mutable std::recursive_mutex mutex_;
  std::map<std::pair<int, int>, FakeNodeDevice> devices_;
  std::map<int, Open> open_;
  std::vector<Submitted> inFlight_;
  std::map<int, std::deque<Completion>> completed_;
  std::vector<std::string> journal_;
  int submissions_ = 0;
  int failAt_ = -1;
  int failError_ = 0;
  int controlResult_ = 0;
  int result551A_ = -ENOTTY;  // a kernel without the request
  int resetResult_ = 0;
};

class FakeClock : public UsbClock {
 public:
  int64_t now() override { return now_; }
  void wait(int64_t ticks) override { now_ += ticks; }
  void advance(int64_t ticks) { now_ += ticks; }

 private:
  int64_t now_ = 1000;
};

class RecordingEvents : public UsbDeviceEvents {
 public:
  void onUsbDevicePlugged(int index) override { events.push_back("plug " + std::to_string(index)); }
  void onUsbDeviceRemoved(int index) override { events.push_back("remove " + std::to_string(index)); }
  void onUsbDeviceDisconnected(int index) override { events.push_back("disconnect " + std::to_string(index)); }
  std::vector<std::string> events;
};

struct ReceivedCompletion {
  uint32_t tag;
  bool partial;
  UsbResult result;
  Bytes data;
};

class RecordingClient : public UsbClient {
 public:
  void sendUrbCompletion(const UrbCompletion& c) override {
    completions.push_back({c.tag, c.partial, c.result, Bytes(c.data, c.data + c.length)});
  }
  void deviceTaken(int index, int port) override { taken.emplace_back(index, port); }
  void disconnectRequested(int index, int port) override { disconnectRequests.emplace_back(index, port); }
  bool peerIpv4(uint8_t address[4]) const override {
    if (!ipv4) return false;
    for (int i = 0; i < 4; ++i) address[i] = addr[i];
    return true;
  }
  bool isEncrypted() const override { return encrypted; }
  int vlanId() const override { return vlan; }

  std::vector<ReceivedCompletion> completions;
  std::vector<std::pair<int, int>> taken;
  std::vector<std::pair<int, int>> disconnectRequests;
  bool ipv4 = true;
  uint8_t addr[4] = {192, 168, 0, 7};
  bool encrypted = false;
  int vlan = -1;
};

// The OUT data of one request, served from memory.
class BytesSource : public UrbDataSource {
 public:
  explicit BytesSource(Bytes bytes) : bytes_(std::move(bytes)) {}
  bool read(void* buffer, size_t n) override;
  bool drain(size_t n) override;
  size_t left() const { return bytes_.size() - at_; }

 private:
  Bytes bytes_;
  size_t at_ = 0;
};

Bytes pattern(size_t n, uint8_t seed = 1);
