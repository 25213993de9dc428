// The byte stream to the server: plain TCP or TLS over TCP. Every wait is
// bounded by the caller's time-out.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace usbclient {

// Negative results of the transport and the client.
enum ClientError : int {
  kTimeout = -2,
  kPeerClosed = -3,
  kIoError = -4,
  kProtocolError = -5,  // the server's bytes do not follow the wire format
  kNoSocket = -19,
};
const char* clientErrorText(int code);

// Owns one descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  int get() const { return fd_; }
  int release();
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Reads up to n bytes, waiting at most timeoutMs (negative: no limit) for
  // the first. Returns the byte count or a negative ClientError.
  virtual int readSome(uint8_t* buf, size_t n, int timeoutMs) = 0;
  // Writes every byte of the parts; the count or a negative ClientError.
  virtual long writeAll(std::span<const iovec> parts, int timeoutMs) = 0;
  // Protocol and cipher for TLS, "plain" otherwise.
  virtual std::string description() const = 0;
};

struct ServerAddress {
  std::string host;
  uint16_t port = 9200;
  bool tls = false;
  std::string caFile;  // TLS: verify the server against these certificates
  int timeoutMs = 10000;
};

// Connects (and for TLS, completes the handshake). Null with a message in
// `error` on failure.
std::unique_ptr<Transport> openTransport(const ServerAddress& address, std::string& error);

// A plain stream over an already connected socket (tests hand in one end of
// a socket pair).
std::unique_ptr<Transport> makePlainTransport(UniqueFd socket);

}  // namespace usbclient
