// DES_fcrypt is deprecated in OpenSSL 3 but still built into libcrypto; it
// is the one DES crypt that accepts every salt of the proof alphabet and
// writes into the caller's buffer.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "usbserver/key_proof.h"

#include <openssl/des.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kDigestKeyLimit = 67;

}  // namespace

std::optional<KeyProofBlock> KeyProofBlock::parse(const uint8_t* bytes, size_t length) {
  if (!bytes || length < 4 || length > kLargest) return std::nullopt;
  if (bytes[0] != 'Z' || bytes[1] != 'O' || (bytes[2] != 'V' && bytes[2] != 'v')) return std::nullopt;
  KeyProofBlock block;
  block.digest = bytes[2] == 'v';
  block.count = bytes[3];
  const size_t entry = block.digest ? kDigestEntry : kCryptEntry;
  if (length != 4 + entry * static_cast<size_t>(block.count)) return std::nullopt;
  block.entries = bytes + 4;
  block.entryBytes = length - 4;
  return block;
}

bool cryptKeyText(std::string_view key, int32_t nonce, char out[14]) {
  const char salt[3] = {kAlphabet[(nonce ^ (nonce >> 24)) & 63], kAlphabet[((nonce >> 16) ^ (nonce >> 8)) & 63], 0};
  std::string text(key);
  std::memset(out, 0, 14);
  if (!DES_fcrypt(text.c_str(), salt, out)) return false;
  return std::strlen(out) == 13;
}

void shaKeyDigest(std::string_view key, int32_t nonce, uint8_t out[20]) {
  std::string text;
  text += kAlphabet[(nonce >> 24) & 63];
  text += kAlphabet[(nonce >> 16) & 63];
  text += kAlphabet[(nonce >> 8) & 63];
  text += kAlphabet[nonce & 63];
  text.append(key.substr(0, kDigestKeyLimit));
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out);
}
