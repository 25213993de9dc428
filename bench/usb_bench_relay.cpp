#include "bench/usb_bench_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bench/usb_bench_probe.h"

namespace {

constexpr uint32_t kCommandUrb = 8;
constexpr uint32_t kUrbFinal = 0x1008;
constexpr uint32_t kUrbPartial = 0x101C;
constexpr size_t kRequestHeader = 16;
constexpr size_t kUrbRequest = 12;
constexpr size_t kReplyHeader = 24;

uint32_t be32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }

void putBe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

bool readExact(int fd, void* buffer, size_t n) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (n > 0) {
    const ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool writeAll(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t put = ::writev(fd, parts, count);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    while (count > 0 && static_cast<size_t>(put) >= parts->iov_len) {
      put -= static_cast<ssize_t>(parts->iov_len);
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + put;
      parts->iov_len -= static_cast<size_t>(put);
    }
  }
  return true;
}

// A reply header as the server writes it for a transfer: the echo byte
// alone in bytes 0-3, the command word, the tag, the length, class and code 0.
void replyHeader(uint8_t out[kReplyHeader], uint8_t echo, uint32_t command, const uint8_t* tag, uint32_t length) {
  std::memset(out, 0, kReplyHeader);
  out[3] = echo;
  putBe32(out + 4, command);
  std::memcpy(out + 8, tag, 4);
  putBe32(out + 12, length);
}

}  // namespace

FramedRelay::~FramedRelay() {
  stopping_ = true;
  if (listener_ >= 0) ::shutdown(listener_, SHUT_RDWR);
  if (acceptor_.joinable()) acceptor_.join();
  if (listener_ >= 0) ::close(listener_);
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (int fd : sockets_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) t.join();
}

bool FramedRelay::start() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
  return true;
}

uint64_t FramedRelay::cpuNanos() const {
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t total = 0;
  for (pid_t tid : tids_) total += threadCpuNanos(tid);
  return total;
}

void FramedRelay::acceptLoop() {
  while (!stopping_) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    // The server turns Nagle off on every client as well.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.push_back(fd);
    threads_.emplace_back([this, fd] { serve(fd); });
  }
}

void FramedRelay::serve(int fd) {
  pthread_setname_np(pthread_self(), "TcpRelay");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tids_.push_back(gettid());
  }
  // IN data comes from a constant buffer, as the server sends it straight
  // from the transfer's part buffer; OUT data is read into one buffer and
  // dropped.
  const std::vector<uint8_t> source(kPartSize, 0xA5);
  std::vector<uint8_t> sink;
  uint8_t request[kRequestHeader + kUrbRequest];
  for (;;) {
    if (!readExact(fd, request, kRequestHeader)) break;
    if (be32(request + 4) != kCommandUrb || !readExact(fd, request + kRequestHeader, kUrbRequest)) break;
    const uint8_t echo = request[3];
    const uint8_t* tag = request + 8;
    const uint8_t* urb = request + kRequestHeader;
    const bool control = urb[3] == 2;
    const bool in = control || (urb[2] & 0x80) != 0;
    const uint32_t inLength = be32(urb + 4);
    const uint32_t outLength = be32(urb + 8);
    if (outLength > kMaxOutLength || inLength > kMaxOutLength) break;
    if (sink.size() < outLength) sink.resize(outLength);
    if (!readExact(fd, sink.data(), outLength)) break;
    uint8_t header[kReplyHeader];
    if (!in || inLength == 0) {
      replyHeader(header, echo, kUrbFinal, tag, 0);
      iovec part{header, sizeof header};
      if (!writeAll(fd, &part, 1)) break;
      continue;
    }
    // Control and interrupt replies are one part; bulk IN data goes in
    // parts of 64 KiB, every one but the last a partial completion.
    const bool bulk = urb[3] == 3;
    if (!bulk && inLength > kPartSize) break;
    const size_t partSize = bulk ? kPartSize : inLength;
    bool ok = true;
    for (uint32_t done = 0; ok && done < inLength;) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(partSize, inLength - done));
      done += n;
      replyHeader(header, echo, done == inLength ? kUrbFinal : kUrbPartial, tag, n);
      iovec parts[] = {{header, sizeof header}, {const_cast<uint8_t*>(source.data()), n}};
      ok = writeAll(fd, parts, 2);
    }
    if (!ok) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  tids_.erase(std::remove(tids_.begin(), tids_.end(), gettid()), tids_.end());
  sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), fd), sockets_.end());
  ::close(fd);
}
