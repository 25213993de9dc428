// DES_fcrypt is deprecated in OpenSSL 3 but still built. libc crypt() is no
// substitute: it refuses salts containing '+', which about one nonce in 32
// yields. DES_fcrypt writes into the caller's buffer, unlike DES_crypt's
// shared one.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "tools/usbclient/proof.h"

#include <openssl/des.h>
#include <openssl/sha.h>

#include <algorithm>

namespace usbclient {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kCryptKeyChars = 8;
constexpr size_t kDigestKeyChars = 67;

char alphabet(uint32_t v) { return kAlphabet[v & 63]; }

}  // namespace

std::string cryptSalt(uint32_t nonce) {
  // The nonce is a signed 32-bit value shifted arithmetically; only the low
  // six bits of each result are used, which the sign never reaches.
  int32_t n = static_cast<int32_t>(nonce);
  return {alphabet(static_cast<uint32_t>(n ^ (n >> 24))),
          alphabet(static_cast<uint32_t>((n >> 16) ^ (n >> 8)))};
}

std::string cryptProof(std::string_view key, uint32_t nonce) {
  std::string salt = cryptSalt(nonce);
  std::string k(key.substr(0, kCryptKeyChars));
  char out[14] = {};
  if (DES_fcrypt(k.c_str(), salt.c_str(), out) == nullptr) return {};
  return std::string(out + 2, kCryptProofSize);
}

std::array<uint8_t, kDigestProofSize> digestProof(std::string_view key, uint32_t nonce) {
  std::string text{alphabet(nonce >> 24), alphabet(nonce >> 16), alphabet(nonce >> 8),
                   alphabet(nonce)};
  text.append(key.substr(0, kDigestKeyChars));
  std::array<uint8_t, kDigestProofSize> md{};
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), md.data());
  return md;
}

bool buildProofBlock(ProofForm form, uint32_t nonce, std::span<const PortKey> keys, Bytes& out) {
  out.clear();
  if (keys.size() > kMaxProofEntries) return false;
  Bytes block{'Z', 'O', static_cast<uint8_t>(form == ProofForm::Crypt ? 'V' : 'v'),
              static_cast<uint8_t>(keys.size())};
  for (const PortKey& k : keys) {
    if (form == ProofForm::Crypt) {
      std::string proof = cryptProof(k.key, nonce);
      if (proof.size() != kCryptProofSize || k.port > 255) return false;
      block.push_back(static_cast<uint8_t>(k.port));
      block.insert(block.end(), proof.begin(), proof.end());
    } else {
      auto proof = digestProof(k.key, nonce);
      block.push_back(static_cast<uint8_t>(k.port >> 8));
      block.push_back(static_cast<uint8_t>(k.port));
      block.insert(block.end(), proof.begin(), proof.end());
    }
  }
  out = std::move(block);
  return true;
}

}  // namespace usbclient
