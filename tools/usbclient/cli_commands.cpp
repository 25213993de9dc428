#include <sys/random.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/usbclient/bulk_only_disk.h"
#include "tools/usbclient/cli.h"
#include "tools/usbclient/descriptors.h"
#include "tools/usbclient/disk_image.h"
#include "tools/usbclient/fuse_disk.h"
#include "tools/usbclient/usb_client.h"

namespace usbclient {
namespace {

constexpr int kKeepAliveSeconds = 5;
constexpr uint32_t kDefaultCheckBlocks = 64;

uint32_t randomWord() {
  uint32_t v = 0;
  while (::getrandom(&v, sizeof v, 0) != sizeof v) {
  }
  return v;
}

const char* eventName(uint32_t code) {
  switch (static_cast<EventCode>(code)) {
    case EventCode::DeviceGone: return "device-gone";
    case EventCode::AdminDisconnect: return "admin-disconnect";
  }
  return "unknown";
}

void printEvent(const Event& e) {
  std::printf("event %s (0x%x) index %u port %u\n", eventName(e.code), e.code, e.device.index,
              e.device.port);
  std::fflush(stdout);
}

bool parseDevice(const std::vector<std::string>& args, DeviceRef& out) {
  if (args.size() < 2) return false;
  char* end = nullptr;
  unsigned long index = std::strtoul(args[0].c_str(), &end, 10);
  if (*end || args[0].empty() || index > 255) return false;
  unsigned long port = std::strtoul(args[1].c_str(), &end, 10);
  if (*end || args[1].empty() || port < 1 || port > 20) return false;
  out = {static_cast<uint8_t>(index), static_cast<uint8_t>(port)};
  return true;
}

// One connection to the server, opened with a version request whose tag is
// the nonce for key proofs.
class Session {
 public:
  explicit Session(const CliOptions& o) : options_(o) {}

  int open() {
    std::string error;
    auto transport = openTransport(options_.server, error);
    if (!transport) {
      std::fprintf(stderr, "usbclient: %s\n", error.c_str());
      return kExitConnection;
    }
    client_ = std::make_unique<UsbClient>(std::move(transport), options_.server.timeoutMs);
    Status s;
    int rc = client_->version(options_.nonce.value_or(randomWord()), true, version_, s);
    if (rc != 0) return connectionFailure(rc);
    return kExitOk;
  }

  int connectionFailure(int rc) const {
    std::fprintf(stderr, "usbclient: %s\n", clientErrorText(rc));
    return kExitConnection;
  }

  int refused(const char* what, const Status& s) const {
    std::fprintf(stderr, "usbclient: %s: %s\n", what, statusText(s).c_str());
    return kExitFailed;
  }

  UsbClient& client() { return *client_; }
  const VersionInfo& version() const { return version_; }
  const CliOptions& options() const { return options_; }

  // Connects the device for this client. The server admits a connect only
  // to a port its last device list on this connection showed, so the list
  // (with the key proofs) comes first.
  int take(DeviceRef d) {
    Status s;
    std::vector<DeviceEntry> listed;
    int rc = client_->deviceList(options_.proofForm, options_.keys, listed, s);
    if (rc != 0) return connectionFailure(rc);
    if (!s.ok()) return refused("list", s);
    rc = client_->connect(d, options_.clientName, s);
    if (rc != 0) return connectionFailure(rc);
    if (!s.ok()) return refused("connect", s);
    return kExitOk;
  }

  void release(DeviceRef d) {
    Status s;
    client_->disconnect(d, s);
  }

 private:
  const CliOptions& options_;
  std::unique_ptr<UsbClient> client_;
  VersionInfo version_;
};

int cmdVersion(Session& session) {
  const VersionInfo& v = session.version();
  std::printf("version %u.%u.%u table %u nonce 0x%08x transport %s\n", v.major, v.minor, v.build,
              v.tableSize.value_or(0), session.client().nonce(),
              session.client().transportDescription().c_str());
  return kExitOk;
}

int cmdList(Session& session) {
  std::vector<DeviceEntry> devices;
  Status s;
  const CliOptions& o = session.options();
  int rc = session.client().deviceList(o.proofForm, o.keys, devices, s);
  if (rc != 0) return session.connectionFailure(rc);
  if (!s.ok()) return session.refused("list", s);
  for (const DeviceEntry& d : devices) {
    std::printf("%u %u %s %04x:%04x usb %x.%02x class %02x configurations %u\n", d.device.index,
                d.device.port, speedName(d.speed), d.vendorId(), d.productId(), d.bcdUsb() >> 8,
                d.bcdUsb() & 0xFF, d.deviceClass(), d.configurationCount());
  }
  return kExitOk;
}

void printHex(const char* label, const Bytes& b) {
  std::printf("%s", label);
  for (uint8_t c : b) std::printf(" %02x", c);
  std::printf("\n");
}

int cmdConnect(Session& session, DeviceRef d, int holdSeconds) {
  int rc = session.take(d);
  if (rc != kExitOk) return rc;
  std::printf("connected index %u port %u\n", d.index, d.port);
  UsbClient& c = session.client();
  Bytes desc;
  Status s;
  if ((rc = fetchDeviceDescriptor(c, d, desc, s)) < 0) return session.connectionFailure(rc);
  if (rc == 0) printHex("device descriptor", desc);
  if ((rc = fetchConfigDescriptor(c, d, 0, desc, s)) < 0) return session.connectionFailure(rc);
  if (rc == 0) printHex("configuration descriptor", desc);
  std::fflush(stdout);

  bool gone = false;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(holdSeconds);
  auto nextKeepAlive = std::chrono::steady_clock::now() + std::chrono::seconds(kKeepAliveSeconds);
  while (!gone && std::chrono::steady_clock::now() < until) {
    auto now = std::chrono::steady_clock::now();
    if (now >= nextKeepAlive) {
      if ((rc = c.keepAlive(randomWord(), s)) != 0) return session.connectionFailure(rc);
      nextKeepAlive = now + std::chrono::seconds(kKeepAliveSeconds);
    }
    auto wait = std::min(until, nextKeepAlive) - now;
    int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count());
    Event e;
    rc = c.waitEvent(e, std::max(ms, 1));
    if (rc == kTimeout) continue;
    if (rc != 0) return session.connectionFailure(rc);
    printEvent(e);
    if (e.device != d) continue;
    // Asked by the administrator to let the device go: do so. Taken away
    // already: nothing left to release.
    if (e.code == static_cast<uint32_t>(EventCode::AdminDisconnect)) session.release(d);
    gone = true;
  }
  Event e;
  while (c.takeEvent(e)) printEvent(e);
  if (gone) return kExitFailed;
  session.release(d);
  std::printf("disconnected\n");
  return kExitOk;
}

int cmdDisconnect(Session& session, DeviceRef d) {
  Status s;
  int rc = session.client().disconnect(d, s);
  if (rc != 0) return session.connectionFailure(rc);
  if (!s.ok()) return session.refused("disconnect", s);
  std::printf("disconnected index %u port %u\n", d.index, d.port);
  return kExitOk;
}

int cmdStatus(Session& session, DeviceRef d) {
  PortStatus p;
  Status s;
  int rc = session.client().portStatus(d, p, s);
  if (rc != 0) return session.connectionFailure(rc);
  if (!s.ok()) return session.refused("status", s);
  std::printf("status 0x%x%s%s%s", p.status, p.status & 1 ? " connected" : "",
              p.status & 2 ? " tls-required" : "", p.status & 4 ? " id-refused" : "");
  if (p.ownerIpv4) {
    uint32_t a = *p.ownerIpv4;
    std::printf(" owner %u.%u.%u.%u %s", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF,
                p.ownerName.c_str());
  }
  std::printf("\n");
  return kExitOk;
}

int cmdTags(Session& session) {
  std::vector<PortTag> tags;
  Status s;
  int rc = session.client().portTags(tags, s);
  if (rc != 0) return session.connectionFailure(rc);
  if (!s.ok()) return session.refused("tags", s);
  for (const PortTag& t : tags) std::printf("%u %s\n", t.port, t.text.c_str());
  return kExitOk;
}

int cmdMask(Session& session) {
  uint32_t mask = 0;
  Status s;
  int rc = session.client().connectedMask(mask, s);
  if (rc != 0) return session.connectionFailure(rc);
  if (!s.ok()) return session.refused("mask", s);
  std::printf("0x%08x\n", mask);
  return kExitOk;
}

int cmdSysName(Session& session) {
  std::string name;
  Status s;
  int rc = session.client().sysName(name, s);
  if (rc != 0) return session.connectionFailure(rc);
  if (!s.ok()) return session.refused("sysname", s);
  std::printf("%s\n", name.c_str());
  return kExitOk;
}

// Connects, configures and starts the mass-storage device.
int openDisk(Session& session, DeviceRef d, std::unique_ptr<BulkOnlyDisk>& disk) {
  int rc = session.take(d);
  if (rc != kExitOk) return rc;
  BulkOnlyInterface bot;
  std::string error;
  if (configureBulkOnly(session.client(), d, bot, error) != 0) {
    std::fprintf(stderr, "usbclient: %s\n", error.c_str());
    return kExitFailed;
  }
  disk = std::make_unique<BulkOnlyDisk>(session.client(), d, bot);
  if (disk->start() != 0) {
    std::fprintf(stderr, "usbclient: %s\n", disk->lastError().c_str());
    return kExitFailed;
  }
  std::printf("disk %llu blocks of %u bytes (%.1f MiB)\n",
              static_cast<unsigned long long>(disk->blockCount()), disk->blockSize(),
              static_cast<double>(disk->blockCount()) * disk->blockSize() / (1 << 20));
  return kExitOk;
}

// Writes a pattern no earlier run could have left, reads it back, then
// restores and checks the old contents.
int checkRange(BulkOnlyDisk& disk, uint64_t lba, uint32_t count, double& readSeconds,
               double& writeSeconds) {
  size_t bytes = size_t{count} * disk.blockSize();
  Bytes original(bytes), pattern(bytes), back(bytes);
  uint32_t seed = randomWord();
  for (size_t i = 0; i < bytes; ++i)
    pattern[i] = static_cast<uint8_t>((seed >> (8 * (i % 4))) ^ (i * 131) ^ (lba + i / 512));
  using Clock = std::chrono::steady_clock;
  auto seconds = [](Clock::time_point a) {
    return std::chrono::duration<double>(Clock::now() - a).count();
  };
  auto step = [&](const char* what, int rc) {
    if (rc != 0)
      std::fprintf(stderr, "usbclient: %s at block %llu: %s\n", what,
                   static_cast<unsigned long long>(lba), disk.lastError().c_str());
    return rc == 0;
  };
  if (!step("read", disk.readBlocks(lba, count, original.data()))) return kExitFailed;
  auto t = Clock::now();
  if (!step("write", disk.writeBlocks(lba, count, pattern.data()))) return kExitFailed;
  writeSeconds += seconds(t);
  t = Clock::now();
  if (!step("read back", disk.readBlocks(lba, count, back.data()))) return kExitFailed;
  readSeconds += seconds(t);
  bool same = back == pattern;
  if (!step("restore", disk.writeBlocks(lba, count, original.data()))) return kExitFailed;
  if (!step("read restored", disk.readBlocks(lba, count, back.data()))) return kExitFailed;
  if (!same || back != original) {
    std::fprintf(stderr, "usbclient: data mismatch at blocks %llu..%llu\n",
                 static_cast<unsigned long long>(lba),
                 static_cast<unsigned long long>(lba + count - 1));
    return kExitFailed;
  }
  return kExitOk;
}

int cmdStorageCheck(Session& session, DeviceRef d, uint32_t blocks) {
  std::unique_ptr<BulkOnlyDisk> disk;
  int rc = openDisk(session, d, disk);
  if (rc != kExitOk) return rc;
  uint64_t total = disk->blockCount();
  uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(blocks, total));
  uint64_t places[] = {0, (total - count) / 2, total - count};
  double readSeconds = 0, writeSeconds = 0;
  for (uint64_t lba : places) {
    rc = checkRange(*disk, lba, count, readSeconds, writeSeconds);
    if (rc != kExitOk) return rc;
  }
  if (disk->flush() != 0) {
    std::fprintf(stderr, "usbclient: synchronize cache: %s\n", disk->lastError().c_str());
    return kExitFailed;
  }
  double mib = 3.0 * count * disk->blockSize() / (1 << 20);
  std::printf("storage check passed: %u blocks at 3 places, read %.1f MiB/s, write %.1f MiB/s\n",
              count, readSeconds > 0 ? mib / readSeconds : 0.0,
              writeSeconds > 0 ? mib / writeSeconds : 0.0);
  session.release(d);
  return kExitOk;
}

// Keeps the connection alive while FUSE serves, and reports server events.
class KeepAlive {
 public:
  KeepAlive(UsbClient& client, std::mutex& lock) : client_(client), lock_(lock) {
    thread_ = std::thread([this] { run(); });
  }
  ~KeepAlive() {
    {
      std::lock_guard<std::mutex> g(stopLock_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> stop(stopLock_);
    while (!wake_.wait_for(stop, std::chrono::seconds(kKeepAliveSeconds), [this] { return stop_; })) {
      std::lock_guard<std::mutex> g(lock_);
      Status s;
      if (client_.keepAlive(randomWord(), s) != 0) {
        std::fprintf(stderr, "usbclient: keep-alive failed\n");
        return;
      }
      Event e;
      while (client_.takeEvent(e)) printEvent(e);
    }
  }

  UsbClient& client_;
  std::mutex& lock_;  // guards the client
  std::mutex stopLock_;  // guards stop_; taken before lock_
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

int cmdFuse(Session& session, DeviceRef d, const std::string& mountpoint,
            const std::vector<std::string>& fuseOptions) {
  std::unique_ptr<BulkOnlyDisk> disk;
  int rc = openDisk(session, d, disk);
  if (rc != kExitOk) return rc;
  std::fflush(stdout);
  DiskImage image(*disk);
  std::mutex lock;
  FuseDisk fs(image, *disk, lock, "disk");
  {
    KeepAlive keepAlive(session.client(), lock);
    rc = fs.serve(mountpoint, fuseOptions);
  }
  if (rc != 0) {
    std::fprintf(stderr, "usbclient: cannot serve FUSE at %s\n", mountpoint.c_str());
    return kExitFailed;
  }
  disk->flush();
  session.release(d);
  return kExitOk;
}

int usage(const char* message) {
  std::fprintf(stderr, "usbclient: %s\n%s", message, cliUsage());
  return kExitUsage;
}

// A command: whether it names a device (INDEX PORT first), how many more
// arguments it needs at least, and what it does.
struct CommandEntry {
  bool device = false;
  size_t minArguments = 0;
  std::function<int(Session&, DeviceRef, const std::vector<std::string>&)> run;
};

uint32_t numberOr(const std::vector<std::string>& rest, uint32_t fallback) {
  if (rest.empty()) return fallback;
  return static_cast<uint32_t>(std::strtoul(rest[0].c_str(), nullptr, 10));
}

const std::map<std::string, CommandEntry>& commands() {
  using Args = std::vector<std::string>;
  static const std::map<std::string, CommandEntry> table = {
      {"version", {false, 0, [](Session& s, DeviceRef, const Args&) { return cmdVersion(s); }}},
      {"list", {false, 0, [](Session& s, DeviceRef, const Args&) { return cmdList(s); }}},
      {"tags", {false, 0, [](Session& s, DeviceRef, const Args&) { return cmdTags(s); }}},
      {"mask", {false, 0, [](Session& s, DeviceRef, const Args&) { return cmdMask(s); }}},
      {"sysname", {false, 0, [](Session& s, DeviceRef, const Args&) { return cmdSysName(s); }}},
      {"connect", {true, 0, [](Session& s, DeviceRef d, const Args& rest) {
                     return cmdConnect(s, d, static_cast<int>(numberOr(rest, 0)));
                   }}},
      {"disconnect", {true, 0, [](Session& s, DeviceRef d, const Args&) { return cmdDisconnect(s, d); }}},
      {"status", {true, 0, [](Session& s, DeviceRef d, const Args&) { return cmdStatus(s, d); }}},
      {"storage-check", {true, 0, [](Session& s, DeviceRef d, const Args& rest) {
                           return cmdStorageCheck(s, d, numberOr(rest, kDefaultCheckBlocks));
                         }}},
      {"fuse", {true, 1, [](Session& s, DeviceRef d, const Args& rest) {
                  return cmdFuse(s, d, rest[0], Args(rest.begin() + 1, rest.end()));
                }}},
  };
  return table;
}

}  // namespace

int runCli(const CliOptions& options) {
  auto it = commands().find(options.command);
  if (it == commands().end()) return usage(("unknown command " + options.command).c_str());
  const CommandEntry& entry = it->second;
  DeviceRef device;
  std::vector<std::string> rest = options.args;
  if (entry.device) {
    if (!parseDevice(rest, device)) return usage("expected INDEX PORT (port 1..20)");
    rest.erase(rest.begin(), rest.begin() + 2);
  }
  if (rest.size() < entry.minArguments) return usage(("missing arguments for " + options.command).c_str());
  if (options.command == "storage-check" && !rest.empty() && numberOr(rest, 0) == 0)
    return usage("BLOCKS must be a number of at least 1");
  Session session(options);
  int rc = session.open();
  if (rc != kExitOk) return rc;
  return entry.run(session, device, rest);
}

}  // namespace usbclient
