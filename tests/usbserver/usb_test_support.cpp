#include "usb_test_support.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/paths.h"

namespace fs = std::filesystem;

TempRoot::TempRoot() {
  char templ[] = "/tmp/usbtable-XXXXXX";
  path_ = ::mkdtemp(templ);
  setRootDirectory(path_);
}

TempRoot::~TempRoot() {
  std::error_code ec;
  fs::remove_all(path_, ec);
  setRootDirectory("/");
}

void TempRoot::writeFile(const std::string& relative, const std::string& text) const {
  fs::path p = fs::path(path_) / relative;
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

namespace {

void writeAttribute(const fs::path& dir, const char* name, const std::string& text) {
  std::ofstream(dir / name) << text << "\n";
}

std::string hex(int value, int digits) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%0*x", digits, value);
  return buffer;
}

}  // namespace

void writeSysfsDevice(const std::string& sysfsDir, const SysfsDevice& d) {
  fs::path dir = fs::path(sysfsDir) / d.name();
  fs::create_directories(dir);
  writeAttribute(dir, "busnum", std::to_string(d.bus));
  writeAttribute(dir, "devnum", std::to_string(d.devnum));
  writeAttribute(dir, "devpath", d.devpath);
  if (d.hasDev) writeAttribute(dir, "dev", "189:" + std::to_string((d.bus - 1) * 128 + d.devnum - 1));
  writeAttribute(dir, "idVendor", hex(d.vendor, 4));
  writeAttribute(dir, "idProduct", hex(d.product, 4));
  writeAttribute(dir, "bcdDevice", hex(d.bcdDevice, 4));
  writeAttribute(dir, "bDeviceClass", hex(d.deviceClass, 2));
  writeAttribute(dir, "bDeviceSubClass", hex(d.deviceSubClass, 2));
  writeAttribute(dir, "bMaxPower", "500mA");
  writeAttribute(dir, "speed", d.speed);
  writeAttribute(dir, "version", d.version);
  if (d.hasManufacturer) writeAttribute(dir, "manufacturer", d.manufacturer);
  if (d.hasProduct) writeAttribute(dir, "product", d.productName);
  writeAttribute(dir, "serial", d.serial);
  for (size_t i = 0; i < d.interfaceClasses.size(); ++i) {
    fs::path interface = fs::path(sysfsDir) / (d.name() + ":1." + std::to_string(i));
    fs::create_directories(interface);
    writeAttribute(interface, "bInterfaceClass", hex(d.interfaceClasses[i], 2));
  }
}

void removeSysfsDevice(const std::string& sysfsDir, const SysfsDevice& d) {
  for (const auto& entry : fs::directory_iterator(sysfsDir)) {
    std::string name = entry.path().filename();
    if (name == d.name() || name.rfind(d.name() + ":", 0) == 0) fs::remove_all(entry.path());
  }
}

Bytes deviceDescriptor(int vendor, int product, int configurations, uint8_t iManufacturer, uint8_t iProduct,
                       uint8_t iSerial) {
  return {18,
          1,
          0x00,
          0x02,
          0,
          0,
          0,
          64,
          static_cast<uint8_t>(vendor),
          static_cast<uint8_t>(vendor >> 8),
          static_cast<uint8_t>(product),
          static_cast<uint8_t>(product >> 8),
          0x00,
          0x01,
          iManufacturer,
          iProduct,
          iSerial,
          static_cast<uint8_t>(configurations)};
}

Bytes configurationDescriptor(uint8_t value, const std::vector<InterfaceSpec>& interfaces) {
  Bytes body;
  for (const InterfaceSpec& i : interfaces) {
    Bytes d = {9, 4, i.number, i.alternate, static_cast<uint8_t>(i.endpoints.size()), i.interfaceClass, 0, 0, 0};
    body.insert(body.end(), d.begin(), d.end());
    for (const EndpointSpec& e : i.endpoints) {
      Bytes ep = {7, 5, e.address, e.attributes, 0x00, 0x02, 0};
      body.insert(body.end(), ep.begin(), ep.end());
    }
  }
  size_t total = 9 + body.size();
  uint8_t count = 0;
  for (const InterfaceSpec& i : interfaces) count += i.alternate == 0;
  Bytes config = {9, 2, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), count, value, 0, 0x80, 50};
  config.insert(config.end(), body.begin(), body.end());
  return config;
}

Bytes stringDescriptor(const std::string& text) {
  Bytes d = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

Bytes languageDescriptor(uint16_t language) {
  return {4, 3, static_cast<uint8_t>(language), static_cast<uint8_t>(language >> 8)};
}

Bytes vendorNodeFile(int vendor, int product, int configurations) {
  Bytes file = deviceDescriptor(vendor, product, configurations);
  for (int c = 1; c <= configurations; ++c) {
    Bytes config = configurationDescriptor(
        static_cast<uint8_t>(c),
        {{static_cast<uint8_t>(c == 1 ? 0 : 5), 0, 0xff, {{0x02, 2}, {0x81, 2}, {0x83, 3}}},
         {static_cast<uint8_t>(c == 1 ? 1 : 6), 0, 0xff, {}}});
    file.insert(file.end(), config.begin(), config.end());
  }
  return file;
}

FakeUsbfs::~FakeUsbfs() {
  for (auto& [fd, open] : open_) ::close(fd);
}

FakeNodeDevice& FakeUsbfs::addDevice(int bus, int devnum) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  FakeNodeDevice& d = devices_[{bus, devnum}];
  d.strings[{0, 0}] = languageDescriptor();
  d.strings[{0x0409, 1}] = stringDescriptor("Maker");
  d.strings[{0x0409, 2}] = stringDescriptor("Gadget");
  d.strings[{0x0409, 3}] = stringDescriptor("SN1");
  return d;
}

void FakeUsbfs::unplug(int bus, int devnum, int status) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  devices_[{bus, devnum}].gone = true;
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    if (open_.count(it->fd) && open_[it->fd].device == std::make_pair(bus, devnum)) {
      completed_[it->fd].push_back({it->urb, status, {}});
      it = inFlight_.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<FakeUsbfs::Submitted> FakeUsbfs::inFlight() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return inFlight_;
}

void FakeUsbfs::complete(usbdevfs_urb* urb, int status, const Bytes& in) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
    if (it->urb == urb) {
      completed_[it->fd].push_back({urb, status, in});
      inFlight_.erase(it);
      return;
    }
  }
}

void FakeUsbfs::completeOldest(int status, const Bytes& in) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!inFlight_.empty()) complete(inFlight_.front().urb, status, in);
}

std::vector<std::string> FakeUsbfs::journal() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return journal_;
}

void FakeUsbfs::clearJournal() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  journal_.clear();
}

int FakeUsbfs::openNodes() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return static_cast<int>(open_.size());
}

FakeNodeDevice* FakeUsbfs::deviceOf(int fd) {
  auto it = open_.find(fd);
  if (it == open_.end()) return nullptr;
  return &devices_[it->second.device];
}

int FakeUsbfs::makeNode(const std::string& path, unsigned, unsigned) {
  std::ofstream created(path);
  return created ? 0 : -EIO;
}

int FakeUsbfs::openNode(const std::string& path, int flags) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  int bus = 0, devnum = 0;
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash < 4 ||
      std::sscanf(path.c_str() + slash - 3, "%d/%d", &bus, &devnum) != 2) {
    return -ENOENT;
  }
  auto it = devices_.find({bus, devnum});
  if (it == devices_.end() || it->second.gone) return -ENOENT;
  if (it->second.openError) return it->second.openError;
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  open_[fd] = {{bus, devnum}, 0, (flags & O_ACCMODE) == O_RDWR};
  log("open " + std::to_string(bus) + "/" + std::to_string(devnum) + ((flags & O_ACCMODE) == O_RDWR ? " rw" : " ro"));
  return fd;
}

int FakeUsbfs::closeNode(int fd) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!open_.erase(fd)) return -EBADF;
  for (auto it = inFlight_.begin(); it != inFlight_.end();) {
    it = it->fd == fd ? inFlight_.erase(it) : it + 1;
  }
  completed_.erase(fd);
  ::close(fd);
  log("close");
  return 0;
}

ssize_t FakeUsbfs::readNode(int fd, void* buffer, size_t size) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  FakeNodeDevice* d = deviceOf(fd);
  if (!d) return -EBADF;
  Open& o = open_[fd];
  if (o.offset >= static_cast<off_t>(d->nodeFile.size())) return 0;
  size_t n = std::min(size, d->nodeFile.size() - static_cast<size_t>(o.offset));
  std::memcpy(buffer, d->nodeFile.data() + o.offset, n);
  o.offset += static_cast<off_t>(n);
  return static_cast<ssize_t>(n);
}

off_t FakeUsbfs::seekNode(int fd, off_t offset, int whence) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (!deviceOf(fd)) return -EBADF;
  Open& o = open_[fd];
  off_t target = whence == SEEK_SET ? offset : (whence == SEEK_CUR ? o.offset + offset : -1);
  if (target < 0) return -EINVAL;
  o.offset = target;
  return target;
}

int FakeUsbfs::control(int fd, usbdevfs_ctrltransfer& t) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  FakeNodeDevice* d = deviceOf(fd);
  if (!d) return -EBADF;
  if (!open_[fd].writable) return -EPERM;
  if (d->gone) return -ENODEV;
  char line[96];
  std::snprintf(line, sizeof line, "control %02x %02x %04x %04x %u", t.bRequestType, t.bRequest, t.wValue, t.wIndex,
                t.wLength);
  log(line);
  if (t.bRequestType == 0x80 && t.bRequest == 6 && (t.wValue >> 8) == 3) {
    ++d->stringRequests;
    if (d->stringsTimeOut) return -ETIMEDOUT;
    auto it = d->strings.find({t.wIndex, static_cast<uint8_t>(t.wValue & 0xff)});
    if (it == d->strings.end()) return -EPIPE;
    size_t n = std::min<size_t>(t.wLength, it->second.size());
    std::memcpy(t.data, it->second.data(), n);
    return static_cast<int>(n);
  }
  if (t.bRequestType == 0xC0 && t.bRequest == 1) {
    size_t n = std::min<size_t>(t.wLength, d->vendorAnswer.size());
    std::memcpy(t.data, d->vendorAnswer.data(), n);
    return static_cast<int>(n);
  }
  if (controlResult_ < 0) return controlResult_;
  if (t.bRequestType & 0x80) {
    for (unsigned i = 0; i < t.wLength; ++i) static_cast<uint8_t*>(t.data)[i] = static_cast<uint8_t>(i);
  }
  return t.wLength;
}

int FakeUsbfs::setConfiguration(int, unsigned value) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("setConfiguration " + std::to_string(value));
  return 0;
}
int FakeUsbfs::claimInterface(int, unsigned i) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("claim " + std::to_string(i));
  return 0;
}
int FakeUsbfs::releaseInterface(int, unsigned i) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("release " + std::to_string(i));
  return 0;
}
int FakeUsbfs::setInterface(int, unsigned i, unsigned alt) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("setInterface " + std::to_string(i) + " " + std::to_string(alt));
  return alt > 1 ? -EINVAL : 0;
}
int FakeUsbfs::clearHalt(int, unsigned ep) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("clearHalt " + std::to_string(ep));
  return 0;
}
int FakeUsbfs::reset(int) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("reset");
  return resetResult_;
}
int FakeUsbfs::request551A(int) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  log("551A");
  return result551A_;
}

int FakeUsbfs::submitUrb(int fd, usbdevfs_urb* urb) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  FakeNodeDevice* d = deviceOf(fd);
  if (!d) return -EBADF;
  int nth = submissions_++;
  char line[64];
  std::snprintf(line, sizeof line, "submit %02x %d", urb->endpoint, urb->buffer_length);
  log(line);
  if (d->gone) return -ENODEV;
  if (nth == failAt_) return failError_;
  Submitted s{fd, urb, {}};
  if (!(urb->endpoint & 0x80) && urb->buffer_length > 0) {
    auto* p = static_cast<uint8_t*>(urb->buffer);
    s.out.assign(p, p + urb->buffer_length);
  }
  inFlight_.push_back(std::move(s));
  return 0;
}

int FakeUsbfs::reapUrbNoDelay(int fd, usbdevfs_urb** out) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  FakeNodeDevice* d = deviceOf(fd);
  if (!d) return -EBADF;
  auto& queue = completed_[fd];
  if (queue.empty()) return d->gone ? -ENODEV : -EAGAIN;
  Completion c = std::move(queue.front());
  queue.pop_front();
  // What usbfs writes at reap time only.
  c.urb->status = c.status;
  size_t n = std::min<size_t>(c.in.size(), static_cast<size_t>(c.urb->buffer_length));
  if (n) std::memcpy(c.urb->buffer, c.in.data(), n);
  c.urb->actual_length = (c.urb->endpoint & 0x80) ? static_cast<int>(n) : (c.status == 0 ? c.urb->buffer_length : 0);
  *out = c.urb;
  return 0;
}

int FakeUsbfs::discardUrb(int fd, usbdevfs_urb* urb) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto it = inFlight_.begin(); it != inFlight_.end(); ++it) {
    if (it->fd == fd && it->urb == urb) {
      log("discard");
      completed_[fd].push_back({urb, -ECONNRESET, {}});
      inFlight_.erase(it);
      return 0;
    }
  }
  return -EINVAL;
}

bool BytesSource::read(void* buffer, size_t n) {
  if (left() < n) {
    at_ = bytes_.size();
    return false;
  }
  std::memcpy(buffer, bytes_.data() + at_, n);
  at_ += n;
  return true;
}

bool BytesSource::drain(size_t n) {
  if (left() < n) {
    at_ = bytes_.size();
    return false;
  }
  at_ += n;
  return true;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}
