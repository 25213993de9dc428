#pragma once
// Chunked DES password hashes: the fixed salt "Wj" followed by the 11 hash
// characters of every 8-character chunk of the password (at most 32
// characters, so at most 46 characters of hash).
#include <memory>

inline constexpr int kPasswordMaxLength = 32;
inline constexpr int kPasswordHashSize = 2 + 11 * 4 + 1;  // longest hash and terminator

// A length of 0 or less means the text's own length. Writes the salt and
// the chunk hashes into out (kPasswordHashSize bytes); 0 for a password
// longer than 32 characters (out then holds the salt only).
int hashPassword(const char* password, int length, char* out);
// The hash in memory of its own size; null for an empty password or a failure.
std::unique_ptr<char[]> newPasswordHash(const char* password, int length);
// 1 when the password hashes to the stored hash. An empty or missing hash
// accepts only an empty password. A negative length means the text's own.
int checkPassword(const char* password, int length, const char* hash);
