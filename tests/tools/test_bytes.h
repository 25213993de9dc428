// Golden byte helpers for the USB client tests: bytes are written as hex
// text, and server frames are spelled out field by field here, apart from
// the client's own encoders.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace usbclient_test {

using Bytes = std::vector<uint8_t>;

// "00 01 0a" or "00010a"; blanks are ignored.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline void be32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A 24-byte reply header and its payload, as the server sends it.
inline Bytes replyFrame(uint32_t echoWord, uint32_t command, uint32_t tag, uint32_t statusClass,
                        int32_t code, const Bytes& payload = {}) {
  Bytes out;
  be32(out, echoWord);
  be32(out, command);
  be32(out, tag);
  be32(out, static_cast<uint32_t>(payload.size()));
  be32(out, statusClass);
  be32(out, static_cast<uint32_t>(code));
  return out + payload;
}

// An 18-byte event message.
inline Bytes eventFrame(uint32_t code, uint8_t index, uint8_t port) {
  Bytes out;
  be32(out, 1);
  be32(out, code);
  be32(out, 0);
  be32(out, 2);
  out.push_back(index);
  out.push_back(port);
  return out;
}

inline std::string toHex(const Bytes& b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t c : b) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

}  // namespace usbclient_test
