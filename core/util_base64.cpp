#include "core/util_base64.h"

#include <array>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> kDecodeTable = [] {
  std::array<signed char, 256> table{};
  for (auto& entry : table) entry = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
  return table;
}();

}  // namespace

int base64Encode(const unsigned char* data, int length, char* out, int outSize,
                 int firstLineOffset) {
  if (outSize <= 0) return 0;
  const int room = outSize - 1;
  int written = 0;
  int lineStart = 0;
  int lineLimit = 79 - firstLineOffset;
  for (int consumed = 0; room - written >= 4 && consumed < length; consumed += 3) {
    const int available = length - consumed < 3 ? length - consumed : 3;
    unsigned group = unsigned(data[consumed]) << 16;
    if (available > 1) group |= unsigned(data[consumed + 1]) << 8;
    if (available > 2) group |= unsigned(data[consumed + 2]);
    out[written++] = kAlphabet[(group >> 18) & 63];
    out[written++] = kAlphabet[(group >> 12) & 63];
    out[written++] = available > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out[written++] = available > 2 ? kAlphabet[group & 63] : '=';
    if (written - lineStart > lineLimit && room - written > 1) {
      out[written++] = '\r';
      out[written++] = '\n';
      lineStart = written;
      lineLimit = 79;
    }
  }
  out[written] = '\0';
  return written;
}

int base64Decode(const char* text, unsigned char* out, int outSize) {
  if (outSize <= 0) return 0;
  const int room = outSize - 1;
  int written = 0;
  unsigned bits = 0;
  int bitCount = 0;
  for (const char* cursor = text; *cursor != '\0' && written < room; ++cursor) {
    const int value = kDecodeTable[static_cast<unsigned char>(*cursor)];
    if (value < 0) break;
    bits = (bits << 6) | unsigned(value);
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      out[written++] = static_cast<unsigned char>(bits >> bitCount);
      bits &= (1u << bitCount) - 1;
    }
  }
  out[written] = '\0';
  return written;
}
