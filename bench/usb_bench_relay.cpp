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
#include <memory>

#include "bench/usb_bench_probe.h"
#include "core/tls_session.h"
#include "usbserver/usb_protocol.h"

namespace {

// The relay answers with the server's own framing.
constexpr uint32_t kUrbFinal = kReplyBase | USB_CMD_URB;
constexpr size_t kUrbRequest = 12;  // handle, IN length, OUT length

struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// One accepted connection, plain or TLS, with blocking reads and writes.
class Stream {
 public:
  Stream(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}

  bool readExact(void* buffer, size_t n) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (n > 0) {
      const int chunk = static_cast<int>(std::min<size_t>(n, 1u << 30));
      const ssize_t got = ssl_ ? SSL_read(ssl_.get(), p, chunk) : ::read(fd_, p, static_cast<size_t>(chunk));
      if (got < 0 && !ssl_ && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }

  // Plain: one gathered write. TLS: one write per part, as the server's
  // TLS connection writes header and data.
  bool writeAll(iovec* parts, int count) {
    if (ssl_) {
      for (int i = 0; i < count; ++i) {
        if (parts[i].iov_len > 0 &&
            SSL_write(ssl_.get(), parts[i].iov_base, static_cast<int>(parts[i].iov_len)) != int(parts[i].iov_len)) {
          return false;
        }
      }
      return true;
    }
    while (count > 0) {
      ssize_t put = ::writev(fd_, parts, count);
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

 private:
  int fd_;
  std::unique_ptr<SSL, SslFree> ssl_;
};

// A reply header as the server writes it for a transfer: the echo byte
// alone in bytes 0-3, the command word, the tag, the length, class and code 0.
void replyHeader(uint8_t out[kReplyHeaderSize], uint8_t echo, uint32_t command, const uint8_t* tag, uint32_t length) {
  std::memset(out, 0, kReplyHeaderSize);
  out[3] = echo;
  storeBe32(out + 4, command);
  std::memcpy(out + 8, tag, 4);
  storeBe32(out + 12, length);
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

std::string FramedRelay::start() {
  if (tls_) {
    context_.reset(SSL_CTX_new(TLS_server_method()));
    if (!context_ ||
        SSL_CTX_use_certificate_file(context_.get(), certPairCertificatePath(CERT_PAIR_OWN).c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(context_.get(), certPairKeyPath(CERT_PAIR_OWN).c_str(), SSL_FILETYPE_PEM) != 1) {
      return "the TLS relay cannot load the certificate pair";
    }
    SSL_CTX_set_mode(context_.get(), SSL_MODE_AUTO_RETRY);
  }
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return "socket failed";
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return "the relay cannot listen";
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
  return {};
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
  uint8_t request[kRequestHeaderSize + kUrbRequest];
  SSL* ssl = nullptr;
  if (tls_ && (!(ssl = SSL_new(context_.get())) || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1)) {
    SSL_free(ssl);
    ssl = nullptr;
    ::shutdown(fd, SHUT_RDWR);  // the loop below then ends at once
  }
  Stream stream(fd, ssl);
  for (;;) {
    if (!stream.readExact(request, kRequestHeaderSize)) break;
    if (loadBe32(request + 4) != USB_CMD_URB || !stream.readExact(request + kRequestHeaderSize, kUrbRequest)) break;
    const uint8_t echo = request[3];
    const uint8_t* tag = request + 8;
    const uint8_t* urb = request + kRequestHeaderSize;
    const bool control = urb[3] == 2;
    const bool in = control || (urb[2] & 0x80) != 0;
    const uint32_t inLength = loadBe32(urb + 4);
    const uint32_t outLength = loadBe32(urb + 8);
    if (outLength > kMaxOutLength || inLength > kMaxOutLength) break;
    if (sink.size() < outLength) sink.resize(outLength);
    if (!stream.readExact(sink.data(), outLength)) break;
    uint8_t header[kReplyHeaderSize];
    if (!in || inLength == 0) {
      replyHeader(header, echo, kUrbFinal, tag, 0);
      iovec part{header, sizeof header};
      if (!stream.writeAll(&part, 1)) break;
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
      replyHeader(header, echo, done == inLength ? kUrbFinal : kPartialCompletion, tag, n);
      iovec parts[] = {{header, sizeof header}, {const_cast<uint8_t*>(source.data()), n}};
      ok = stream.writeAll(parts, 2);
    }
    if (!ok) break;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  tids_.erase(std::remove(tids_.begin(), tids_.end(), gettid()), tids_.end());
  sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), fd), sockets_.end());
  ::close(fd);
}
