#include "core/system_error.h"

#include <cstdio>
#include <cstring>

void printSystemError(const char* tag, int errorNumber) {
  char text[128];
  // the GNU strerror_r returns the text, which need not lie in `text`
  const char* message = strerror_r(errorNumber, text, sizeof text);
  std::fprintf(stderr, "%s: %s\n", tag, message);
}
