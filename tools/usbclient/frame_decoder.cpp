#include "tools/usbclient/frame_decoder.h"

#include <cstring>

namespace usbclient {

FrameDecoder::FrameDecoder(size_t maxPayload) : maxPayload_(maxPayload) {}

uint8_t* FrameDecoder::prepare(size_t min) {
  if (buf_.size() - end_ < min) {
    // Slide the unread bytes to the front before growing, so a long run of
    // small messages keeps the buffer small.
    if (begin_ > 0) {
      std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (buf_.size() - end_ < min) buf_.resize(end_ + min);
  }
  return buf_.data() + end_;
}

void FrameDecoder::commit(size_t n) { end_ += n; }

void FrameDecoder::append(const uint8_t* data, size_t n) {
  std::memcpy(prepare(n), data, n);
  commit(n);
}

FrameDecoder::Result FrameDecoder::next(Message& out) {
  size_t have = end_ - begin_;
  if (have < kRequestHeaderSize) return Result::NeedMore;
  const uint8_t* p = buf_.data() + begin_;
  uint32_t word = getBe32(p + 4);
  if (word < kReplyBase) {
    // An event: four words (1, code, 0, 2) and the index and port bytes.
    if (have < kEventSize) return Result::NeedMore;
    Event e;
    e.code = word;
    e.device = {p[16], p[17]};
    begin_ += kEventSize;
    if (begin_ == end_) begin_ = end_ = 0;
    out = e;
    return Result::Ready;
  }
  if (have < kReplyHeaderSize) return Result::NeedMore;
  uint32_t length = getBe32(p + 12);
  if (length > maxPayload_) return Result::Malformed;
  if (have < kReplyHeaderSize + length) return Result::NeedMore;
  Reply r;
  r.echoWord = getBe32(p);
  r.command = word;
  r.tag = getBe32(p + 8);
  r.statusClass = getBe32(p + 16);
  r.statusCode = static_cast<int32_t>(getBe32(p + 20));
  r.payload.assign(p + kReplyHeaderSize, p + kReplyHeaderSize + length);
  begin_ += kReplyHeaderSize + length;
  if (begin_ == end_) begin_ = end_ = 0;
  out = std::move(r);
  return Result::Ready;
}

}  // namespace usbclient
