// Cuts the server's byte stream into replies and event messages. The stream
// has no message boundaries: bytes may arrive in any split, so the decoder
// keeps what it has and hands out only complete messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>

#include "tools/usbclient/wire.h"

namespace usbclient {

struct Reply {
  uint32_t echoWord = 0;
  uint32_t command = 0;  // 0x1000 + request command, or a transfer completion word
  uint32_t tag = 0;
  uint32_t statusClass = 0;
  int32_t statusCode = 0;
  Bytes payload;
  bool ok() const { return statusClass == static_cast<uint32_t>(StatusClass::Ok); }
  bool isUrbCompletion() const { return command == kUrbFinal || command == kUrbPartial; }
};

struct Event {
  uint32_t code = 0;
  DeviceRef device;
};

using Message = std::variant<Reply, Event>;

class FrameDecoder {
 public:
  enum class Result { NeedMore, Ready, Malformed };

  // Payloads above maxPayload are refused: the length comes from the peer.
  explicit FrameDecoder(size_t maxPayload);

  // Space for at least `min` more bytes; commit() tells how many were written.
  uint8_t* prepare(size_t min);
  void commit(size_t n);
  void append(const uint8_t* data, size_t n);

  // Takes the next complete message out of the buffer.
  Result next(Message& out);

  size_t buffered() const { return end_ - begin_; }

 private:
  size_t maxPayload_;
  Bytes buf_;
  size_t begin_ = 0;
  size_t end_ = 0;
};

}  // namespace usbclient
