#include <cstdio>
#include <string>

#include "tools/usbclient/cli.h"

int main(int argc, char** argv) {
  usbclient::CliOptions options;
  std::string error;
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::fputs(usbclient::cliUsage(), stdout);
    return usbclient::kExitOk;
  }
  if (!usbclient::parseCliOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "usbclient: %s\n%s", error.c_str(), usbclient::cliUsage());
    return usbclient::kExitUsage;
  }
  return usbclient::runCli(options);
}
