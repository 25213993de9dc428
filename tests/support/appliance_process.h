#pragma once
// The whole appliance for an end-to-end test: a root directory prepared from
// a simulation profile (sim/profiles) by the launcher, a NetnsPair whose
// inside namespace holds the process (its eth0) and whose peer namespace
// holds the test's clients, and `appliance --root DIR --sim` with its
// output captured. Everything goes away with the object; a process still
// running then is killed.
#include <sys/types.h>

#include <chrono>
#include <string>

#include "tests/support/command.h"
#include "tests/support/netns.h"
#include "tests/support/temp_root.h"

class ApplianceProcess {
 public:
  using Duration = std::chrono::milliseconds;

  explicit ApplianceProcess(const std::string& profile = "basic4");
  ~ApplianceProcess();
  ApplianceProcess(const ApplianceProcess&) = delete;
  ApplianceProcess& operator=(const ApplianceProcess&) = delete;

  // false when the namespaces or the root could not be made (error() says why)
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& root() const { return root_.path(); }
  const NetnsPair& net() const { return net_; }
  // The address the appliance listens on, as the peer reaches it.
  static const char* address() { return NetnsPair::kInsideAddress; }

  // Starts the process with KickOff set (unset when negative) and waits for its banner; false
  // (error() says why) when it ended or printed none within the limit.
  bool start(int kickOff = 0, Duration limit = Duration(20000));
  // Plugs the profile's simulated devices (the launcher's list).
  bool plugProfileDevices();

  pid_t pid() const { return pid_; }
  bool running();
  // Everything the process printed so far (standard output and error).
  std::string output() const;
  // Waits until the output holds text; false when the limit passed first.
  bool waitForOutput(const std::string& text, Duration limit = Duration(10000));

  // A shell command left running in the peer namespace (a client holding a
  // device, a FUSE mount), its output in a file; killed with the object.
  class Background {
   public:
    Background(const ApplianceProcess& appliance, const std::string& command);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    std::string output() const;
    bool waitForOutput(const std::string& text, Duration limit = Duration(10000));
    // Its exit code, or -1 when it did not end within the limit.
    int wait(Duration limit);

   private:
    std::string log_;
    pid_t pid_ = -1;
    int exitCode_ = -1;
  };

  // One command line to the simulation control socket (tools/simctl).
  CommandRun simctl(const std::string& arguments) const;
  // A shell command in the peer namespace (where clients live). Only the
  // network namespace changes: mounts made there are seen by the test.
  CommandRun inPeer(const std::string& command) const;
  CommandRun inside(const std::string& command) const;
  // The protocol client of tools/ run in the peer namespace against the
  // appliance, e.g. usbclient("list").
  CommandRun usbclient(const std::string& arguments) const;
  static std::string binary(const std::string& relativePath);

  // Sends sig and waits for the end: the wait status, or -1 when the
  // process did not end within the limit (it is then killed).
  int stop(int sig, Duration limit = Duration(8000));
  // Waits for the end without a signal: wait status or -1 at the limit
  // (the process keeps running).
  int awaitExit(Duration limit);

 private:
  std::string logPath() const;
  std::string enter(const std::string& ns, const std::string& command) const;

  NetnsPair net_;
  TempRoot root_;
  std::string profile_;
  std::string error_;
  pid_t pid_ = -1;
};
