// Connection waits and datagram transfers. Every wait is one poll over the
// socket and the owner task's message pipe; messages are handled inline.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "core/byte_buffer.h"
#include "core/connection.h"
#include "core/system_error.h"
#include "core/task.h"

namespace {

using Clock = std::chrono::steady_clock;

// The remaining part of a wait bounded by the whole time-out, for poll.
class Deadline {
 public:
  // timeout in ticks; negative means no limit
  explicit Deadline(int timeout)
      : limited_(timeout >= 0), end_(Clock::now() + std::chrono::milliseconds(10LL * timeout)) {}
  int pollMs() const {
    if (!limited_) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }
  bool passed() const { return limited_ && Clock::now() >= end_; }

 private:
  bool limited_;
  Clock::time_point end_;
};

constexpr short kReadyRead = POLLIN | POLLERR | POLLHUP;
constexpr short kReadyWrite = POLLOUT | POLLERR | POLLHUP;

}  // namespace

int Connection::wait4read(int timeout, int* code, bool retry) {
  return waitFor(Direction::kRead, timeout, code, retry);
}

int Connection::wait4write(int timeout, int* code, bool retry) {
  return waitFor(Direction::kWrite, timeout, code, retry);
}

int Connection::waitFor(Direction direction, int timeout, int* code, bool retry) {
  if (fd_ < 0) {
    if (code != nullptr) *code = kResultNoSocket;
    return 0;
  }
  const bool reading = direction == Direction::kRead;
  const short ready = reading ? kReadyRead : kReadyWrite;
  const Deadline deadline(timeout);
  for (;;) {
    pollfd watched[2] = {{fd_, static_cast<short>(reading ? POLLIN : POLLOUT), 0},
                         {owner_ != nullptr ? owner_->messageFd() : -1, POLLIN, 0}};
    const int count = ::poll(watched, owner_ != nullptr ? 2 : 1, deadline.pollMs());
    if (count < 0) {
      const int error = errno;
      if (reading) printSystemError("wait4read:", error);
      if (retry && error == EINTR) continue;
      if (code != nullptr) *code = -error;
      return 0;
    }
    if (count == 0) {
      if (code != nullptr) *code = kResultTimeout;
      errorKind_ = kErrorTimeout;
      return !reading && timeout == 0 ? 1 : 0;
    }
    if (watched[0].revents & POLLNVAL) {
      if (code != nullptr) *code = -EBADF;
      return 0;
    }
    const bool socketReady = (watched[0].revents & ready) != 0;
    if (owner_ != nullptr && (watched[1].revents & (POLLIN | POLLHUP)) != 0) {
      const int handled = owner_->readMessage();
      if (handled & MSG_PARAMS_CHANGED) {
        // The caller rebuilds after a settings change; it must not mistake
        // this end for data or a transfer error.
        if (!socketReady && code != nullptr) *code = kResultTimeout;
        return socketReady ? 1 : 0;
      }
      if (reading && socketReady) return 1;
      continue;
    }
    if (socketReady) return 1;
  }
}

int Connection::waitForConnect(int timeout) {
  const Deadline deadline(timeout > 0 ? timeout : -1);
  for (;;) {
    pollfd watched[2] = {{fd_, POLLOUT, 0},
                         {owner_ != nullptr ? owner_->messageFd() : -1, POLLIN, 0}};
    const int count = ::poll(watched, owner_ != nullptr ? 2 : 1, deadline.pollMs());
    if (count < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (count == 0) {
      errno = ETIMEDOUT;
      return 0;
    }
    if (owner_ != nullptr && (watched[1].revents & (POLLIN | POLLHUP)) != 0) {
      owner_->readMessage();
    }
    if (watched[0].revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) {
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return 0;
      if (error == 0) return 1;
      errno = error;
      return 0;
    }
    if (deadline.passed()) {
      errno = ETIMEDOUT;
      return 0;
    }
  }
}

int Connection::connect(int timeout) {
  const bool inet = family_ == AF_INET || family_ == AF_INET6;
  const socklen_t length = family_ == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (fd_ < 0) return 0;
  if (::connect(fd_, peer_.sockaddrPtr(), length) != 0) {
    const int error = errno;
    const bool pending = error == EINPROGRESS || error == EALREADY || error == EINTR;
    if (error != EISCONN) {
      // A pending connect is awaited in poll, serving the owner's messages,
      // instead of calling connect again and again.
      if (!pending || !inet || type_ != SOCK_STREAM || timeout < 0) return 0;
      if (!waitForConnect(timeout)) return 0;
    }
  }
  state_ = kStateConnected;
  return 1;
}

int Connection::receive(ByteBuffer* buffer, int timeout) {
  if (!buffer->owned()) {
    buffer->forget();
    if (!buffer->reserve(kDatagramBufferSize)) return -1;
  } else if (buffer->room() >= kDatagramReuseRoom) {
    buffer->rewind();
  } else {
    buffer->release();
    if (!buffer->reserve(kDatagramBufferSize)) return -1;
  }
  int code = 0;
  if (!wait4read(timeout, &code, true)) {
    buffer->release();
    return -1;
  }
  const int room = buffer->room();
  // MSG_TRUNC reports a datagram's real size, so one that fills the room
  // exactly is told apart from one that was cut.
  const int flags = type_ == SOCK_STREAM ? 0 : MSG_TRUNC;
  ssize_t count;
  if (state_ == kStateConnected) {
    count = ::recv(fd_, buffer->data(), static_cast<std::size_t>(room), flags);
  } else {
    socklen_t length = peerLength();
    count = ::recvfrom(fd_, buffer->data(), static_cast<std::size_t>(room), flags,
                       peer_.sockaddrPtr(), &length);
  }
  if (count <= 0) return static_cast<int>(count);
  if (count > room) {
    buffer->release();
    return -1;
  }
  buffer->setLength(static_cast<int>(count));
  return static_cast<int>(count);
}

int Connection::sendAll(const void* data, int length, bool once) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  int sent = 0;
  while (sent < length) {
    const std::size_t left = static_cast<std::size_t>(length - sent);
    const ssize_t count =
        state_ == kStateConnected
            ? ::send(fd_, bytes + sent, left, MSG_NOSIGNAL)
            : ::sendto(fd_, bytes + sent, left, MSG_NOSIGNAL, peer_.sockaddrPtr(), peerLength());
    if (count > 0) {
      sent += static_cast<int>(count);
    } else if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return -errno;
    } else if (count < 0 && errno != EINTR && !once) {
      // the socket is full: sleep in poll until it drains
      int code = 0;
      if (!wait4write(-1, &code, true) && code != kResultTimeout) return code;
    }
    if (once) break;
  }
  return sent;
}

ssize_t Connection::sendVector(const iovec* vector, int count) {
  return ::writev(fd_, vector, count);
}

int Connection::sendPacket(const void* data, int length, bool once) {
  constexpr socklen_t kLinkAddressLength = 20;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  int sent = 0;
  while (sent < length) {
    const ssize_t count = ::sendto(fd_, bytes + sent, static_cast<std::size_t>(length - sent), 0,
                                   local_.sockaddrPtr(), kLinkAddressLength);
    if (count > 0) {
      sent += static_cast<int>(count);
    } else if (count < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      errorKind_ = kErrorTransfer;
      return kResultIoError;
    } else if (count < 0 && errno != EINTR && !once) {
      int code = 0;
      if (!wait4write(-1, &code, true) && code != kResultTimeout) {
        errorKind_ = kErrorTransfer;
        return kResultIoError;
      }
    }
    if (once) break;
  }
  return sent;
}

int Connection::readChunk(ByteBuffer* buffer, int timeout) {
  if (!buffer->reserve(kChunkSize)) return 0;
  if (timeout != 0 && !wait4read(timeout, nullptr, true)) return 0;
  const ssize_t count = ::read(fd_, buffer->data(), kChunkSize);
  if (count < 0) return -1;
  buffer->setLength(static_cast<int>(count));
  return static_cast<int>(count);
}
