#include "tests/tools/fake_storage_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tests/tools/test_bytes.h"

namespace usbclient_test {
namespace {

constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;
constexpr size_t kPart = 65536;

// The device as it describes itself (USB order).
const char* kDeviceDescriptor = "12 01 0002 00 00 00 40 8107 6755 0001 01 02 03 01";
const char* kConfiguration =
    "09 02 2000 01 01 00 80 32"
    "09 04 00 00 02 08 06 50 00"
    "07 05 81 02 0002 00"
    "07 05 02 02 0002 00";

uint32_t be32At(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
uint32_t le32At(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void le32(Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

FakeStorageServer::FakeStorageServer(uint32_t blocks, uint32_t blockSize)
    : blockSize_(blockSize), disk_(size_t{blocks} * blockSize) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  wakeRead_ = pipeFds[0];
  wakeWrite_ = pipeFds[1];
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener_, 4) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return;
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

FakeStorageServer::~FakeStorageServer() {
  stop_ = true;
  if (wakeWrite_ >= 0) (void)!::write(wakeWrite_, "x", 1);
  if (thread_.joinable()) thread_.join();
  for (int fd : {listener_, wakeRead_, wakeWrite_})
    if (fd >= 0) ::close(fd);
}

std::vector<uint8_t> FakeStorageServer::disk() const {
  std::lock_guard<std::mutex> g(lock_);
  return disk_;
}

void FakeStorageServer::setDisk(const std::vector<uint8_t>& contents) {
  std::lock_guard<std::mutex> g(lock_);
  std::copy_n(contents.begin(), std::min(contents.size(), disk_.size()), disk_.begin());
}

void FakeStorageServer::sendEvent(uint32_t code, uint8_t index, uint8_t port) {
  {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(eventFrame(code, index, port));
  }
  (void)!::write(wakeWrite_, "e", 1);
}

std::string FakeStorageServer::error() const {
  std::lock_guard<std::mutex> g(lock_);
  return error_;
}

void FakeStorageServer::fail(const std::string& what) {
  std::lock_guard<std::mutex> g(lock_);
  if (error_.empty()) error_ = what;
}

void FakeStorageServer::run() {
  while (!stop_) {
    pollfd p[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0) continue;
    if (p[1].revents) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
    }
    if (!(p[0].revents & POLLIN)) continue;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++accepts_;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    phase_ = Phase::Command;
    pendingIn_.clear();
    serve(fd);
    ::close(fd);
  }
}

void FakeStorageServer::serve(int fd) {
  while (!stop_) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(p, 2, -1) <= 0) continue;
    if (p[1].revents) {
      char drain[64];
      while (::read(wakeRead_, drain, sizeof drain) > 0) {
      }
      std::deque<Bytes> events;
      {
        std::lock_guard<std::mutex> g(lock_);
        events.swap(events_);
      }
      for (const Bytes& e : events)
        if (!sendAll(fd, e)) return;
    }
    if (p[0].revents && !handle(fd)) return;
  }
}

bool FakeStorageServer::readExact(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool FakeStorageServer::sendAll(int fd, const Bytes& b) {
  return ::send(fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
}

// One request. False ends the connection.
bool FakeStorageServer::handle(int fd) {
  uint8_t h[16];
  if (!readExact(fd, h, sizeof h)) return false;
  uint32_t command = be32At(h + 4);
  uint32_t tag = be32At(h + 8);
  uint32_t echoWord = be32At(h);
  auto reply = [&](uint32_t cls, int32_t code, const Bytes& payload = {}) {
    return sendAll(fd, replyFrame(echoWord, 0x1000 + command, tag, cls, code, payload));
  };
  auto payload = [&](size_t n, Bytes& out) {
    out.resize(n);
    return readExact(fd, out.data(), n);
  };
  Bytes p;
  switch (command) {
    case 27:  // VERSION2
      return sendAll(fd, replyFrame(h[3], 0x101B, tag, 0, 0, hex("0007 0000 0091 0001")));
    case 29: {  // DEVLIST
      uint32_t len = be32At(h + 12);
      if (len >= 1 && len <= 444 && !payload(len, p)) return false;
      Bytes entry = hex("00 01 03 00") + hex(kDeviceDescriptor);
      for (size_t off : {2, 8, 10, 12}) std::swap(entry[4 + off], entry[5 + off]);
      return reply(0, 0, hex("01 0016") + entry);
    }
    case 25:  // CONNECT
      if (!payload(34, p)) return false;
      ++connects_;
      return p[0] == 0 && p[1] == 1 ? reply(0, 0) : reply(3, 19);
    case 6:  // DISCONNECT
      return payload(2, p) && reply(0, 0);
    case 21:  // SET_CONFIG
      if (!payload(4, p)) return false;
      if (p[2] != 0 && p[3] != 0 && !payload(2u * p[3], p)) return false;
      return reply(0, 0);
    case 12:  // CLEAR_HALT
      return payload(3, p) && reply(0, 0);
    case 16:  // KEEPALIVE
      return payload(4, p) && reply(0, 0, p);
    case 8:
      return handleUrb(fd, h);
    default:
      fail("unexpected command " + std::to_string(command));
      return false;
  }
}

bool FakeStorageServer::handleUrb(int fd, const uint8_t* h) {
  uint32_t tag = be32At(h + 8);
  uint8_t echo = h[3];
  uint8_t u[12];
  if (!readExact(fd, u, sizeof u)) return false;
  uint8_t endpoint = u[2], type = u[3];
  uint32_t inLen = be32At(u + 4), outLen = be32At(u + 8);
  if (outLen > (16u << 20)) {
    fail("OUT length too large");
    return false;
  }
  Bytes out(outLen);
  if (!readExact(fd, out.data(), outLen)) return false;
  if (type == 2) {
    if (outLen < 8) return sendAll(fd, replyFrame(echo, 0x1008, tag, 3, 71));
    uint16_t value = static_cast<uint16_t>(out[2] << 8 | out[3]);
    uint16_t wLength = static_cast<uint16_t>(out[6] << 8 | out[7]);
    Bytes data;
    if (out[0] == 0x80 && out[1] == 6 && value == 0x0100) {
      data = hex(kDeviceDescriptor);
    } else if (out[0] == 0x80 && out[1] == 6 && value == 0x0200) {
      data = hex(kConfiguration);
    } else if (out[0] == 0x21 && out[1] == 0xFF) {
      phase_ = Phase::Command;  // bulk-only reset
    } else {
      return sendAll(fd, replyFrame(echo, 0x1008, tag, 3, -32));
    }
    data.resize(std::min<size_t>({data.size(), inLen, wLength}));
    return sendAll(fd, replyFrame(echo, 0x1008, tag, 0, 0, data));
  }
  if (type != 3) {
    fail("unexpected transfer type");
    return false;
  }
  if (endpoint == kOutEndpoint) {
    bulkOut(out);
    if (!sendAll(fd, replyFrame(echo, 0x1008, tag, 0, 0))) return false;
  } else if (endpoint == kInEndpoint) {
    pendingIn_.push_back({tag, echo, inLen});
  } else {
    fail("unexpected endpoint");
    return false;
  }
  serveInRequests(fd);
  return true;
}

void FakeStorageServer::bulkOut(const Bytes& data) {
  if (phase_ == Phase::Command) {
    if (data.size() != 31 || le32At(data.data()) != 0x43425355) {
      fail("bad command wrapper");
      return;
    }
    executeCommand(data.data());
    return;
  }
  if (phase_ != Phase::DataOut || data.size() > outLeft_) {
    fail("unexpected OUT data");
    return;
  }
  {
    std::lock_guard<std::mutex> g(lock_);
    std::copy(data.begin(), data.end(), disk_.begin() + static_cast<long>(outOffset_));
  }
  outOffset_ += data.size();
  outLeft_ -= static_cast<uint32_t>(data.size());
  if (outLeft_ == 0) phase_ = Phase::Status;
}

void FakeStorageServer::executeCommand(const uint8_t* cbw) {
  cbwTag_ = le32At(cbw + 4);
  uint32_t length = le32At(cbw + 8);
  const uint8_t* cdb = cbw + 15;
  cswStatus_ = 0;
  residue_ = 0;
  uint64_t blocks = disk().size() / blockSize_;
  uint32_t lba = be32At(cdb + 2);
  uint32_t count = static_cast<uint32_t>(cdb[7] << 8 | cdb[8]);
  bool inRange = uint64_t{lba} + count <= blocks;
  inData_.clear();
  inOffset_ = 0;
  phase_ = Phase::Status;
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x35:  // SYNCHRONIZE CACHE
      return;
    case 0x03:  // REQUEST SENSE: no sense
      inData_ = hex("70 00 00 00 00 00 00 0a 00 00 00 00 00 00 00 00 00 00");
      break;
    case 0x25:  // READ CAPACITY(10)
      be32(inData_, static_cast<uint32_t>(blocks - 1));
      be32(inData_, blockSize_);
      break;
    case 0x28:  // READ(10)
      if (!inRange || count * blockSize_ != length) {
        cswStatus_ = 1;
        return;
      }
      {
        std::lock_guard<std::mutex> g(lock_);
        auto first = disk_.begin() + static_cast<long>(uint64_t{lba} * blockSize_);
        inData_.assign(first, first + static_cast<long>(length));
      }
      break;
    case 0x2A:  // WRITE(10)
      if (!inRange || count * blockSize_ != length) {
        cswStatus_ = 1;
        return;
      }
      outOffset_ = uint64_t{lba} * blockSize_;
      outLeft_ = length;
      phase_ = length ? Phase::DataOut : Phase::Status;
      return;
    default:
      cswStatus_ = 1;
      residue_ = length;
      return;
  }
  inData_.resize(std::min<size_t>(inData_.size(), length));
  residue_ = length - static_cast<uint32_t>(inData_.size());
  phase_ = inData_.empty() ? Phase::Status : Phase::DataIn;
}

// IN transfers complete in order as the device has something to send: data
// in 64 KiB parts (partial completions while full parts follow), then the
// status wrapper.
void FakeStorageServer::serveInRequests(int fd) {
  while (!pendingIn_.empty()) {
    PendingIn req = pendingIn_.front();
    if (phase_ == Phase::DataIn) {
      size_t total = std::min<size_t>(req.length, inData_.size() - inOffset_);
      size_t sent = 0;
      do {
        size_t part = std::min(kPart, total - sent);
        bool last = sent + part == total;
        Bytes chunk(inData_.begin() + static_cast<long>(inOffset_ + sent),
                    inData_.begin() + static_cast<long>(inOffset_ + sent + part));
        if (!sendAll(fd, replyFrame(req.echo, last ? 0x1008 : 0x101C, req.tag, 0, 0, chunk))) return;
        sent += part;
      } while (sent < total);
      inOffset_ += total;
      if (inOffset_ == inData_.size()) phase_ = Phase::Status;
    } else if (phase_ == Phase::Status) {
      Bytes csw;
      le32(csw, 0x53425355);
      le32(csw, cbwTag_);
      le32(csw, residue_);
      csw.push_back(cswStatus_);
      csw.resize(std::min<size_t>(csw.size(), req.length));
      if (!sendAll(fd, replyFrame(req.echo, 0x1008, req.tag, 0, 0, csw))) return;
      phase_ = Phase::Command;
    } else {
      return;  // the device has nothing to send yet
    }
    pendingIn_.pop_front();
  }
}

}  // namespace usbclient_test
