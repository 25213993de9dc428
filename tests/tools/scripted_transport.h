// A transport that records what the client writes and hands it prepared
// server bytes in the chunks the test chose.
#pragma once

#include <deque>
#include <memory>
#include <algorithm>
#include <cstring>

#include "tests/tools/test_bytes.h"
#include "tools/usbclient/transport.h"

namespace usbclient_test {

struct ScriptedStreams {
  Bytes written;
  std::deque<Bytes> incoming;  // each element arrives as one read (or less)
  bool closeWhenEmpty = false;
};

class ScriptedTransport : public usbclient::Transport {
 public:
  explicit ScriptedTransport(std::shared_ptr<ScriptedStreams> s) : s_(std::move(s)) {}

  int readSome(uint8_t* buf, size_t n, int) override {
    if (s_->incoming.empty()) return s_->closeWhenEmpty ? usbclient::kPeerClosed : usbclient::kTimeout;
    Bytes& front = s_->incoming.front();
    size_t k = std::min(n, front.size());
    std::memcpy(buf, front.data(), k);
    front.erase(front.begin(), front.begin() + static_cast<long>(k));
    if (front.empty()) s_->incoming.pop_front();
    return static_cast<int>(k);
  }

  long writeAll(std::span<const iovec> parts, int) override {
    long total = 0;
    for (const iovec& v : parts) {
      auto* p = static_cast<const uint8_t*>(v.iov_base);
      s_->written.insert(s_->written.end(), p, p + v.iov_len);
      total += static_cast<long>(v.iov_len);
    }
    return total;
  }

  std::string description() const override { return "scripted"; }

 private:
  std::shared_ptr<ScriptedStreams> s_;
};

}  // namespace usbclient_test
