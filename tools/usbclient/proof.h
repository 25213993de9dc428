// Key proofs a client sends with a device-list request: a proof shows that
// the client knows a port's key, derived from the key and the connection's
// nonce (the tag of the last answered version request).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tools/usbclient/wire.h"

namespace usbclient {

enum class ProofForm { Crypt, Digest };

constexpr size_t kCryptProofSize = 11;
constexpr size_t kDigestProofSize = 20;
constexpr size_t kMaxProofEntries = 20;

// The two salt characters of the crypt form.
std::string cryptSalt(uint32_t nonce);
// The 11 characters after the salt of DES crypt(key, salt); only the first
// 8 key characters count. Empty when crypt fails.
std::string cryptProof(std::string_view key, uint32_t nonce);
// SHA-1 over four nonce characters followed by at most 67 key characters.
std::array<uint8_t, kDigestProofSize> digestProof(std::string_view key, uint32_t nonce);

struct PortKey {
  uint16_t port = 0;
  std::string key;
};

// The DEVLIST payload ("ZOV"/"ZOv", count, entries). False (out empty) when
// more entries are given than the server admits, or a proof cannot be made.
bool buildProofBlock(ProofForm form, uint32_t nonce, std::span<const PortKey> keys, Bytes& out);

}  // namespace usbclient
