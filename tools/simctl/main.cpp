// simctl --root DIR COMMAND...
// Sends one command line to the simulation control socket under DIR and
// prints the answer; exit status 0 for "ok", 1 for an error answer, 2 when
// the socket cannot be reached.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/paths.h"
#include "sim/sim_control_socket.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: simctl [--root DIR] COMMAND...\n"
               "  for example: simctl --root /tmp/unit usb plug storage 1-1.2\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  std::string root = "/";
  if (i < argc && std::strcmp(argv[i], "--root") == 0) {
    if (i + 1 >= argc) return usage();
    root = argv[i + 1];
    i += 2;
  }
  if (i >= argc) return usage();
  std::string line;
  for (; i < argc; ++i) {
    if (!line.empty()) line += ' ';
    line += argv[i];
  }
  setRootDirectory(root);
  const std::string path = SimControlSocket::defaultPath();
  SimReply reply;
  const int rc = simControlRequest(path, line, &reply);
  if (rc < 0) {
    std::fprintf(stderr, "simctl: %s: %s\n", path.c_str(), std::strerror(-rc));
    return 2;
  }
  if (!reply.ok) {
    std::fprintf(stderr, "simctl: %s\n", reply.text.c_str());
    return 1;
  }
  std::fputs(reply.text.c_str(), stdout);
  return 0;
}
