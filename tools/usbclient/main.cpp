#include <csignal>
#include <cstdio>
#include <string>

#include "tools/usbclient/cli.h"

int main(int argc, char** argv) {
  // A server that closes the connection is an error result, also inside TLS.
  std::signal(SIGPIPE, SIG_IGN);
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
