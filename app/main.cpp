// The resident control program of the appliance.
#include <cstdio>
#include <cstring>

#include "app/appliance.h"
#include "core/standard_fds.h"

namespace {

int usage(const char* program) {
  std::fprintf(stderr, "usage: %s [--root DIR] [--sim]\n", program);
  return 64;
}

bool parseOptions(int argc, char** argv, ApplianceOptions& options) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      options.root = argv[++i];
    } else if (std::strcmp(argv[i], "--sim") == 0) {
      options.sim = true;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  occupyStandardDescriptors();
  ApplianceOptions options;
  if (!parseOptions(argc, argv, options)) return usage(argv[0]);
  Appliance appliance(options);
  return appliance.run();
}
