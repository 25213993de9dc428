#include "tools/usbclient/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace usbclient {

const char* clientErrorText(int code) {
  switch (code) {
    case kTimeout: return "time-out";
    case kPeerClosed: return "connection closed by the server";
    case kIoError: return "I/O error";
    case kProtocolError: return "malformed data from the server";
    case kNoSocket: return "not connected";
    default: return "error";
  }
}

UniqueFd& UniqueFd::operator=(UniqueFd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = o.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

namespace {

class Deadline {
 public:
  explicit Deadline(int ms)
      : infinite_(ms < 0), end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
  int remainingMs() const {
    if (infinite_) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end_ - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point end_;
};

// 1 when the descriptor is ready for `events`, else kTimeout or kIoError.
int waitFor(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, deadline.remainingMs());
    if (r > 0) return 1;
    if (r == 0) return kTimeout;
    if (errno != EINTR) return kIoError;
  }
}

bool setNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

class PlainTransport : public Transport {
 public:
  explicit PlainTransport(UniqueFd fd) : fd_(std::move(fd)) { setNonBlocking(fd_.get()); }

  int readSome(uint8_t* buf, size_t n, int timeoutMs) override {
    if (!fd_) return kNoSocket;
    Deadline deadline(timeoutMs);
    for (;;) {
      ssize_t r = ::recv(fd_.get(), buf, n, 0);
      if (r > 0) return static_cast<int>(r);
      if (r == 0) return kPeerClosed;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == ECONNRESET ? kPeerClosed : kIoError;
      int w = waitFor(fd_.get(), POLLIN, deadline);
      if (w < 0) return w;
    }
  }

  long writeAll(std::span<const iovec> parts, int timeoutMs) override {
    if (!fd_) return kNoSocket;
    Deadline deadline(timeoutMs);
    std::vector<iovec> left(parts.begin(), parts.end());
    size_t first = 0;
    long total = 0;
    while (first < left.size()) {
      msghdr m{};
      m.msg_iov = left.data() + first;
      m.msg_iovlen = left.size() - first;
      ssize_t r = ::sendmsg(fd_.get(), &m, MSG_NOSIGNAL);
      if (r < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
          return errno == EPIPE || errno == ECONNRESET ? kPeerClosed : kIoError;
        int w = waitFor(fd_.get(), POLLOUT, deadline);
        if (w < 0) return w;
        continue;
      }
      total += r;
      size_t done = static_cast<size_t>(r);
      while (first < left.size() && done >= left[first].iov_len) done -= left[first++].iov_len;
      if (first < left.size()) {
        left[first].iov_base = static_cast<uint8_t*>(left[first].iov_base) + done;
        left[first].iov_len -= done;
      }
    }
    return total;
  }

  std::string description() const override { return "plain"; }

 private:
  UniqueFd fd_;
};

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

std::string sslErrorText() {
  unsigned long e = ERR_get_error();
  if (e == 0) return "TLS failure";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

class TlsTransport : public Transport {
 public:
  TlsTransport(UniqueFd fd, std::unique_ptr<SSL_CTX, SslCtxFree> ctx, std::unique_ptr<SSL, SslFree> ssl)
      : fd_(std::move(fd)), ctx_(std::move(ctx)), ssl_(std::move(ssl)) {}

  // Runs the handshake on the non-blocking socket within the time-out.
  bool handshake(int timeoutMs, std::string& error) {
    Deadline deadline(timeoutMs);
    for (;;) {
      ERR_clear_error();
      errno = 0;
      int r = SSL_connect(ssl_.get());
      if (r == 1) return true;
      int w = waitForSsl(SSL_get_error(ssl_.get(), r), deadline);
      if (w < 0) {
        error = w == kTimeout ? "TLS handshake timed out" : sslErrorText();
        return false;
      }
    }
  }

  int readSome(uint8_t* buf, size_t n, int timeoutMs) override {
    Deadline deadline(timeoutMs);
    for (;;) {
      ERR_clear_error();
      errno = 0;
      size_t got = 0;
      // Records already decrypted are served first; SSL_read_ex takes them
      // without touching the socket.
      if (SSL_read_ex(ssl_.get(), buf, n, &got) == 1) return static_cast<int>(got);
      int w = waitForSsl(SSL_get_error(ssl_.get(), 0), deadline);
      if (w < 0) return w;
    }
  }

  long writeAll(std::span<const iovec> parts, int timeoutMs) override {
    Deadline deadline(timeoutMs);
    // Small parts (a header before its data) go into one record.
    std::vector<uint8_t> joined;
    size_t total = 0;
    for (const iovec& v : parts) total += v.iov_len;
    if (total <= kJoinLimit) {
      joined.reserve(total);
      for (const iovec& v : parts) {
        auto* p = static_cast<const uint8_t*>(v.iov_base);
        joined.insert(joined.end(), p, p + v.iov_len);
      }
      int r = writeBuffer(joined.data(), joined.size(), deadline);
      return r < 0 ? r : static_cast<long>(total);
    }
    for (const iovec& v : parts) {
      int r = writeBuffer(static_cast<const uint8_t*>(v.iov_base), v.iov_len, deadline);
      if (r < 0) return r;
    }
    return static_cast<long>(total);
  }

  std::string description() const override {
    const SSL_CIPHER* c = SSL_get_current_cipher(ssl_.get());
    return std::string(SSL_get_version(ssl_.get())) + " " + (c ? SSL_CIPHER_get_name(c) : "?");
  }

 private:
  static constexpr size_t kJoinLimit = 16384;

  int writeBuffer(const uint8_t* p, size_t n, const Deadline& deadline) {
    while (n > 0) {
      ERR_clear_error();
      errno = 0;
      size_t written = 0;
      if (SSL_write_ex(ssl_.get(), p, n, &written) == 1) {
        p += written;
        n -= written;
        continue;
      }
      int w = waitForSsl(SSL_get_error(ssl_.get(), 0), deadline);
      if (w < 0) return w;
    }
    return 0;
  }

  // Waits as the TLS library asks; a negative ClientError when it cannot go on.
  int waitForSsl(int sslError, const Deadline& deadline) {
    switch (sslError) {
      case SSL_ERROR_WANT_READ: return waitFor(fd_.get(), POLLIN, deadline);
      case SSL_ERROR_WANT_WRITE: return waitFor(fd_.get(), POLLOUT, deadline);
      case SSL_ERROR_ZERO_RETURN: return kPeerClosed;
      case SSL_ERROR_SYSCALL: return errno == 0 || errno == ECONNRESET || errno == EPIPE ? kPeerClosed : kIoError;
      default: return kIoError;
    }
  }

  UniqueFd fd_;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx_;
  std::unique_ptr<SSL, SslFree> ssl_;
};

UniqueFd connectTcp(const ServerAddress& a, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  std::string port = std::to_string(a.port);
  int rc = ::getaddrinfo(a.host.c_str(), port.c_str(), &hints, &list);
  if (rc != 0) {
    error = std::string("cannot resolve ") + a.host + ": " + gai_strerror(rc);
    return UniqueFd();
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, ::freeaddrinfo);
  error = "no address for " + a.host;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    UniqueFd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!fd) continue;
    int r = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
    if (r != 0 && errno == EINPROGRESS) {
      r = waitFor(fd.get(), POLLOUT, Deadline(a.timeoutMs)) == 1 ? 0 : -1;
      int soError = r == 0 ? 0 : ETIMEDOUT;
      socklen_t len = sizeof soError;
      if (r == 0) ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
      errno = soError;
      r = soError == 0 ? 0 : -1;
    }
    if (r != 0) {
      error = "cannot connect to " + a.host + " port " + port + ": " + std::strerror(errno);
      continue;
    }
    // Requests are small and answered one by one: no Nagle delay.
    int one = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    error.clear();
    return fd;
  }
  return UniqueFd();
}

std::unique_ptr<Transport> openTls(UniqueFd fd, const ServerAddress& a, std::string& error) {
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    error = sslErrorText();
    return nullptr;
  }
  // The appliance can be set to TLS 1.0 or 1.1, which OpenSSL 3 refuses at
  // its default security level; a test client must reach every setting.
  SSL_CTX_set_security_level(ctx.get(), 0);
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION);
  SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (!a.caFile.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), a.caFile.c_str(), nullptr) != 1) {
      error = "cannot load " + a.caFile + ": " + sslErrorText();
      return nullptr;
    }
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  }
  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1) {
    error = sslErrorText();
    return nullptr;
  }
  if (!a.caFile.empty()) {
    // The name checked against the certificate: an address literal must
    // match an IP entry, anything else a DNS name.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
    in6_addr probe;
    bool literal = ::inet_pton(AF_INET, a.host.c_str(), &probe) == 1 ||
                   ::inet_pton(AF_INET6, a.host.c_str(), &probe) == 1;
    int ok = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, a.host.c_str())
                     : X509_VERIFY_PARAM_set1_host(param, a.host.c_str(), 0);
    if (ok != 1) {
      error = "cannot check the certificate against " + a.host;
      return nullptr;
    }
  }
  auto t = std::make_unique<TlsTransport>(std::move(fd), std::move(ctx), std::move(ssl));
  if (!t->handshake(a.timeoutMs, error)) return nullptr;
  return t;
}

}  // namespace

std::unique_ptr<Transport> openTransport(const ServerAddress& address, std::string& error) {
  UniqueFd fd = connectTcp(address, error);
  if (!fd) return nullptr;
  if (address.tls) return openTls(std::move(fd), address, error);
  return std::make_unique<PlainTransport>(std::move(fd));
}

std::unique_ptr<Transport> makePlainTransport(UniqueFd socket) {
  return std::make_unique<PlainTransport>(std::move(socket));
}

}  // namespace usbclient
