#include "core/stream_connection.h"

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/byte_buffer.h"
#include "core/tick_clock.h"

// The connection's waits as a TLS session needs them. A wait that a
// settings change ended early is told apart from a time-out, so that a
// handshake in progress goes on.
class StreamConnection::Waits : public TlsTransport {
 public:
  explicit Waits(StreamConnection& connection) : connection_(connection) {}
  int descriptor() const override { return connection_.descriptor(); }
  int waitReadable(int timeout) override { return wait(timeout, true); }
  int waitWritable(int timeout) override { return wait(timeout, false); }

 private:
  int wait(int timeout, bool reading) {
    int code = kResultTimeout;
    int64_t start = ticks();
    int ready = reading ? connection_.wait4read(timeout, &code, true)
                        : connection_.wait4write(timeout, &code, true);
    if (ready) return 1;
    bool early = code == kResultTimeout && (timeout < 0 || ticks() - start < timeout);
    return early ? 0 : code;
  }

  StreamConnection& connection_;
};

StreamConnection::StreamConnection(Task* owner, InterfaceView* interface, int vlanId)
    : Connection(owner, interface, vlanId) {}

// The session goes first (a member), then the base closes the socket.
StreamConnection::~StreamConnection() = default;

int StreamConnection::read(ByteBuffer* buffer, int timeout, bool grow) {
  for (;;) {
    if (grow)
      buffer->release();
    else
      buffer->setLength(0);
    if (descriptor() < 0) {
      if (grow) buffer->release();
      return kResultNoSocket;
    }
    if (session_) return readTls(buffer, timeout, grow);
    if (timeout != 0) {
      int code = kResultTimeout;
      if (!wait4read(timeout, &code, true)) {
        buffer->release();
        return code;
      }
    }
    int pending = 0;
    if (::ioctl(descriptor(), FIONREAD, &pending) != 0) {
      setErrorKind(kErrorTransfer);
      buffer->release();
      return kResultIoError;
    }
    if (pending <= 0) {
      if (timeout == 0) {
        buffer->release();
        return 0;
      }
      // Readable with nothing pending: the end of the stream, most likely.
      pending = kReadAnyway;
    }
    int want;
    if (grow) {
      want = std::min(pending, kMaxGrowRead);
      if (!buffer->reserve(want)) {
        buffer->release();
        return 0;
      }
    } else {
      want = std::min(pending, buffer->capacity());
    }
    ssize_t n = ::recv(descriptor(), buffer->data(), static_cast<size_t>(want), 0);
    if (n > 0) {
      buffer->setLength(static_cast<int>(n));
      return static_cast<int>(n);
    }
    if (n == 0) {
      buffer->release();
      return kResultPeerClosed;
    }
    if (errno == EINTR || errno == EAGAIN) continue;
    setErrorKind(kErrorTransfer);
    buffer->release();
    return kResultIoError;
  }
}

int StreamConnection::readTls(ByteBuffer* buffer, int timeout, bool grow) {
  if (grow) {
    int pending = session_->pending();
    if (!buffer->reserve(pending > 0 ? std::min(pending, kTlsChunk) : kTlsChunk)) {
      buffer->release();
      return 0;
    }
  }
  if (buffer->capacity() <= 0) return 0;
  int n = tlsRead(buffer->data(), buffer->capacity(), timeout);
  if (n > 0) {
    buffer->setLength(n);
    return n;
  }
  buffer->release();
  // Nothing within a zero time-out; or a settings change ended the wait.
  if (n == 0) return timeout == 0 ? 0 : kResultTimeout;
  return n;
}

int StreamConnection::readBytes(void* memory, int size, int timeout) {
  ByteBuffer lent;
  lent.lend(memory, size);
  int n = read(&lent, timeout, false);
  lent.forget();
  return n;
}

// Waits for room to write. A time-out of 0 means as long as it takes (the
// writer keeps trying), so the wait blocks in poll instead of spinning and
// keeps waiting through settings changes.
int StreamConnection::writeWait(int timeout) {
  int code = kResultTimeout;
  if (timeout != 0) return wait4write(timeout, &code, true);
  while (!wait4write(-1, &code, true))
    if (code != kResultTimeout) return 0;
  return 1;
}

int StreamConnection::writeAll(const void* data, int length, int timeout, bool once) {
  const char* bytes = static_cast<const char*>(data);
  int written = 0;
  while (written < length) {
    if (session_) {
      Waits waits(*this);
      int n = session_->write(bytes + written, length - written,
                              once ? 0 : (timeout == 0 ? -1 : timeout), waits);
      if (n > 0) {
        bytesWritten_ += n;
        written += n;
        continue;
      }
      if (n == 0) {
        if (once) return written;
        if (timeout == 0) continue;
        return -1;
      }
      if (n == kResultPeerClosed || n == kResultIoError) {
        setErrorKind(kErrorTransfer);
        return kResultIoError;
      }
      return -1;
    }
    ssize_t n = ::send(descriptor(), bytes + written, static_cast<size_t>(length - written),
                       MSG_NOSIGNAL);
    if (n > 0) {
      bytesWritten_ += static_cast<int>(n);
      written += static_cast<int>(n);
      continue;
    }
    if (n == 0 || errno == EINTR || errno == EAGAIN) {
      if (once) return written;
      if (!writeWait(timeout)) return -1;
      continue;
    }
    setErrorKind(kErrorTransfer);
    return kResultIoError;
  }
  return written;
}

ssize_t StreamConnection::writeVector(const iovec* vector, int count) {
  if (!session_) {
    ssize_t n = ::writev(descriptor(), vector, count);
    if (n > 0) bytesWritten_ += static_cast<int>(n);
    return n;
  }
  ssize_t total = 0;
  for (int i = 0; i < count; ++i) {
    const char* base = static_cast<const char*>(vector[i].iov_base);
    int length = static_cast<int>(vector[i].iov_len);
    int done = 0;
    while (done < length) {
      int n = tlsWrite(base + done, length - done, -1);
      if (n <= 0) return n;
      if (n > length - done) return -1;
      bytesWritten_ += n;
      done += n;
    }
    total += done;
  }
  return total;
}

int StreamConnection::sendFile(int fd) {
  ByteBuffer block;
  if (!block.reserve(kFileBlock)) return 0;
  // Only the end of the file ends the copy: a pipe or a special file may
  // deliver short blocks long before that.
  for (;;) {
    ssize_t n = ::read(fd, block.data(), kFileBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) return 1;
    if (writeAll(block.data(), static_cast<int>(n), 0, false) != n) return 0;
  }
}

std::unique_ptr<StreamConnection> StreamConnection::acceptSession() {
  int code = kResultTimeout;
  if (!wait4read(-1, &code, true)) return nullptr;
  auto accepted = std::make_unique<StreamConnection>(owner(), interface(), vlanId());
  if (!accepted->acceptFrom(descriptor())) {
    int error = errno;
    accepted.reset();
    errno = error;
    return nullptr;
  }
  accepted->setState(kStateConnected);
  // Every wait bounds the I/O of the connection, TLS or not.
  accepted->setNonBlocking();
  return accepted;
}

int StreamConnection::tlsAccept(const TlsSettings& settings, int timeLimit) {
  std::unique_ptr<TlsSession> session = newTlsSession(TlsRole::Server, settings);
  if (!session) return 0;
  setNonBlocking();
  if (!session->attach(descriptor())) return 0;
  Waits waits(*this);
  if (!session->accept(waits, timeLimit)) return 0;
  session_ = std::move(session);
  return 1;
}

int StreamConnection::tlsConnect(const TlsSettings& settings, bool verify) {
  std::unique_ptr<TlsSession> session = newTlsSession(TlsRole::Client, settings);
  if (!session) return 0;
  setNonBlocking();
  if (!session->attach(descriptor())) return 0;
  Waits waits(*this);
  if (!session->connect(waits, verify, &lastTlsResult_)) return 0;
  session_ = std::move(session);
  return 1;
}

int StreamConnection::connectSession(int timeout, const TlsSettings* tls) {
  if (!connect(timeout)) return 0;
  setNonBlocking();
  if (tls == nullptr) return 1;
  return tlsConnect(*tls, false);
}

void StreamConnection::closeSession() {
  session_.reset();
  dispose();
}

int StreamConnection::tlsRead(void* memory, int size, int timeout) {
  if (!session_) return kResultIoError;
  Waits waits(*this);
  int n = session_->read(memory, size, timeout, waits);
  if (n == kResultIoError) setErrorKind(kErrorTransfer);
  if (n == kResultTimeout) setErrorKind(kErrorTimeout);
  return n;
}

int StreamConnection::tlsWrite(const void* data, int length, int timeout) {
  if (!session_) return -1;
  Waits waits(*this);
  return session_->write(data, length, timeout, waits);
}

std::string StreamConnection::tlsVersionName() const {
  return session_ ? session_->versionName() : std::string();
}

int StreamConnection::tlsDescription(char* buffer, size_t size) const {
  return session_ ? session_->describe(buffer, size) : 0;
}

namespace {

// The VLAN id of a listener's VLAN index, or -2 when that VLAN is off.
int vlanIdOf(int vlanIndex, const ListenerSettings& settings) {
  if (vlanIndex <= 0) return -1;
  VlanSwitch vlan = vlanIndex <= settings.usbPortCount() ? settings.portVlan(vlanIndex)
                                                          : settings.managementVlan();
  return vlan.on && vlan.id >= 0 ? vlan.id : -2;
}

}  // namespace

std::unique_ptr<StreamConnection> createListenSocket(Task* owner, int port,
                                                     InterfaceView* interface, int vlanIndex,
                                                     const ListenerSettings& settings) {
  if (interface == nullptr || port <= 0) return nullptr;
  int vlanId = vlanIdOf(vlanIndex, settings);
  if (vlanId < -1) return nullptr;
  auto listener = std::make_unique<StreamConnection>(owner, interface, vlanId);
  bool untagged = vlanIndex <= 0;
  if (!listener->open(untagged ? AF_INET6 : AF_INET, SOCK_STREAM, 0) ||
      !listener->setReuseAddr() || !listener->bindToInterface() ||
      !listener->bind(port, untagged, vlanIndex) || !listener->setNonBlocking())
    return nullptr;
  if (settings.tcpMaxSegment() > 0) listener->set_maxseg(settings.tcpMaxSegment());
  if (!listener->listen(StreamConnection::kListenBacklog)) return nullptr;
  return listener;
}
