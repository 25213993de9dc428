#pragma once
// Key proofs: a client shows that it knows a port's key without sending it,
// by deriving a proof from the key and its connection's nonce. Two forms:
// the DES-based crypt form (11 characters) and the SHA-1 digest form.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// The proof block of a device-list request, checked for its magic and its
// length; entries point into the caller's bytes.
struct KeyProofBlock {
  static constexpr size_t kLargest = 444;
  static constexpr size_t kCryptEntry = 12;   // port (1 byte), 11 characters
  static constexpr size_t kDigestEntry = 22;  // port (2 bytes, big-endian), 20 bytes
  static constexpr int kMaxEntries = 20;

  bool digest = false;
  int count = 0;  // as the block says
  const uint8_t* entries = nullptr;
  size_t entryBytes = 0;

  // "ZOV" or "ZOv", the count, and exactly count entries; nullopt for any
  // other block.
  static std::optional<KeyProofBlock> parse(const uint8_t* bytes, size_t length);
  // The block of a request that sent none: crypt form, no entries.
  static KeyProofBlock none() { return {}; }
};

// The 13-character crypt text (salt and 11 proof characters) of `key` for
// `nonce`, NUL-terminated; false when OpenSSL refuses.
bool cryptKeyText(std::string_view key, int32_t nonce, char out[14]);

// The 20-byte digest proof of `key` for `nonce`.
void shaKeyDigest(std::string_view key, int32_t nonce, uint8_t out[20]);
