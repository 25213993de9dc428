#include "core/util_password.h"

// DES_fcrypt is deprecated in OpenSSL 3 but has no replacement; unlike
// DES_crypt it writes into the caller's buffer, so concurrent checks from
// different tasks cannot read each other's hash.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <cstring>

namespace {

constexpr char kSalt[] = "Wj";
constexpr int kChunk = 8;
constexpr int kChunkHash = 11;

// The 11 characters that follow the salt in the DES crypt of up to 8
// characters of the password.
void hashChunk(const char* chunk, int length, char* out11) {
  char text[kChunk + 1] = {};
  std::memcpy(text, chunk, static_cast<std::size_t>(length));
  char result[14] = {};
  DES_fcrypt(text, kSalt, result);
  std::memcpy(out11, result + 2, kChunkHash);
}

}  // namespace

int hashPassword(const char* password, int length, char* out) {
  std::memcpy(out, kSalt, sizeof kSalt);
  if (password == nullptr) return length <= 0 ? 1 : 0;
  if (length <= 0) length = static_cast<int>(std::strlen(password));
  if (length > kPasswordMaxLength) return 0;
  char* cursor = out + 2;
  for (int offset = 0; offset < length; offset += kChunk) {
    const int chunk = length - offset < kChunk ? length - offset : kChunk;
    hashChunk(password + offset, chunk, cursor);
    cursor += kChunkHash;
    *cursor = '\0';
  }
  return 1;
}

std::unique_ptr<char[]> newPasswordHash(const char* password, int length) {
  if (length <= 0) return nullptr;
  const int chunks = (length + kChunk - 1) / kChunk;
  auto hash = std::make_unique<char[]>(static_cast<std::size_t>(2 + kChunkHash * chunks + 1));
  if (!hashPassword(password, length, hash.get())) return nullptr;
  return hash;
}

int checkPassword(const char* password, int length, const char* hash) {
  const bool noPassword = password == nullptr || length == 0 || password[0] == '\0';
  if (hash == nullptr || hash[0] == '\0') return noPassword ? 1 : 0;
  if (noPassword) return 0;
  if (length < 0) length = static_cast<int>(std::strlen(password));
  const std::size_t hashLength = std::strlen(hash);
  if (hashLength < 2) return 0;
  const char* stored = hash + 2;
  const char* storedEnd = hash + hashLength;
  int offset = 0;
  while (offset < length && stored < storedEnd) {
    const int chunk = length - offset < kChunk ? length - offset : kChunk;
    char computed[kChunkHash];
    hashChunk(password + offset, chunk, computed);
    if (storedEnd - stored < kChunkHash || std::memcmp(computed, stored, kChunkHash) != 0) {
      return 0;
    }
    offset += chunk;
    stored += kChunkHash;
  }
  return offset >= length && stored >= storedEnd ? 1 : 0;
}
