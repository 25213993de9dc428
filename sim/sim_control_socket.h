#pragma once
// The one UNIX stream socket through which tests, the launcher and simctl
// drive every simulation (sysPath("/sim/control.sock") by default).
//
// Protocol, one exchange per line: the client sends a command line ending
// in '\n' (at most kMaxLine bytes); the answer is "ok" or "error <message>"
// on its first line, then the answer's text lines, then an empty line.
// A client may send any number of lines on one connection.
//
// The server runs its own thread; its state is touched only there, apart
// from the stop request (an eventfd).
#include <string>
#include <thread>

#include "sim/sim_command_registry.h"

class SimControlSocket {
 public:
  static constexpr size_t kMaxLine = 4096;
  static constexpr size_t kMaxClients = 32;

  static std::string defaultPath();

  explicit SimControlSocket(const SimCommandRegistry& registry);
  ~SimControlSocket();
  SimControlSocket(const SimControlSocket&) = delete;
  SimControlSocket& operator=(const SimControlSocket&) = delete;

  // Binds `path` (replacing a stale socket file, creating its directory with
  // mode 0700) and starts serving. 0 or -errno.
  int start(const std::string& path);
  void stop();

 private:
  void serve();

  const SimCommandRegistry& registry_;
  std::string path_;
  int listener_ = -1;
  int wake_ = -1;
  std::thread thread_;
};

// Sends one command line and waits up to timeoutMs for the whole answer.
// 0 with *reply filled, or -errno (-ETIMEDOUT, -ECONNREFUSED, -EPROTO).
int simControlRequest(const std::string& path, const std::string& line, SimReply* reply, int timeoutMs = 10000);
