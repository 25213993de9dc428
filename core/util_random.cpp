#include "core/util_random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr unsigned kAlphabetSize = sizeof kAlphabet - 1;
// the largest multiple of 62 below 256: bytes above it would favour the
// first characters of the alphabet
constexpr unsigned kAcceptBelow = 256 / kAlphabetSize * kAlphabetSize;

char tan[kTanLength + 1] = "KeQUV";

void fillRandom(std::uint8_t* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::getrandom(bytes + done, count - done, 0);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR && errno != EAGAIN) {
      // getrandom cannot fail on a kernel that has it; a failure here would
      // hand out guessable keys, which is worse than stopping
      std::abort();
    }
  }
}

}  // namespace

void randomText(char* buffer, int count) {
  std::uint8_t pool[64];
  std::size_t used = sizeof pool;
  for (int i = 0; i < count;) {
    if (used == sizeof pool) {
      fillRandom(pool, sizeof pool);
      used = 0;
    }
    const unsigned value = pool[used++];
    if (value < kAcceptBelow) buffer[i++] = kAlphabet[value % kAlphabetSize];
  }
}

void newTan(char* buffer) {
  char* target = buffer != nullptr ? buffer : tan;
  randomText(target, kTanLength);
  target[kTanLength] = '\0';
}

char* tanBuffer() { return tan; }
