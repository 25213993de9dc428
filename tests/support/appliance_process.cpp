#include "tests/support/appliance_process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "tests/support/eventually.h"

namespace {

using namespace std::chrono_literals;

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

// The wait status of the child once it ended within the limit.
std::optional<int> reapWithin(pid_t child, std::chrono::milliseconds limit) {
  int status = 0;
  if (!eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, limit, 10ms)) return std::nullopt;
  return status;
}

std::string launcher() { return std::string(APPLIANCE_SOURCE_DIR) + "/tools/launcher/appliance-sim"; }

}  // namespace

std::string ApplianceProcess::binary(const std::string& relativePath) {
  return std::string(APPLIANCE_BINARY_DIR) + "/" + relativePath;
}

ApplianceProcess::ApplianceProcess(const std::string& profile) : profile_(profile) {
  if (!net_.ok()) {
    error_ = "network namespaces: " + net_.error();
    return;
  }
  const CommandRun prepared =
      runCommand(launcher() + " prepare --profile " + shellQuoted(profile) + " --root " + shellQuoted(root()) + " 2>&1");
  if (prepared.exitCode != 0) error_ = "preparing the root: " + prepared.output;
}

ApplianceProcess::~ApplianceProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::string ApplianceProcess::logPath() const { return root() + "/appliance.log"; }

bool ApplianceProcess::start(int kickOff, Duration limit) {
  if (!ok()) return false;
  // The process takes eth0's address away when it ends; each start finds
  // the seeded address again, as under the launcher.
  inside("ip addr replace " + std::string(address()) + "/24 dev eth0 && ip link set eth0 up");
  const std::string nsPath = "/run/netns/" + net_.inside();
  const std::string program = binary("app/appliance");
  const std::string kick = "KickOff=" + std::to_string(kickOff);
  const std::string log = logPath();
  const pid_t child = ::fork();
  if (child < 0) {
    error_ = "fork failed";
    return false;
  }
  if (child == 0) {
    const int ns = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) _exit(126);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (out < 0) _exit(126);
    ::dup2(out, 1);
    ::dup2(out, 2);
    const char* argv[] = {program.c_str(), "--root", root().c_str(), "--sim", nullptr};
    const char* envp[] = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "TZ=UTC", kickOff < 0 ? nullptr : kick.c_str(), nullptr};
    ::execve(program.c_str(), const_cast<char* const*>(argv), const_cast<char* const*>(envp));
    _exit(127);
  }
  pid_ = child;
  if (waitForOutput("Master running on", limit)) return true;
  error_ = "no banner; output:\n" + output();
  return false;
}

bool ApplianceProcess::plugProfileDevices() {
  const CommandRun plugged =
      runCommand("SIMCTL_BIN=" + binary("tools/simctl/simctl") + " " + launcher() + " plug --profile " +
                 shellQuoted(profile_) + " --root " + shellQuoted(root()) + " 2>&1");
  return plugged.exitCode == 0 && plugged.output.find("could not plug") == std::string::npos;
}

bool ApplianceProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

std::string ApplianceProcess::output() const { return readFileText(logPath()); }

bool ApplianceProcess::waitForOutput(const std::string& text, Duration limit) {
  const auto printed = [&] { return output().find(text) != std::string::npos; };
  // A process that ended prints nothing more.
  eventually([&] { return printed() || !running(); }, limit, 20ms);
  return printed();
}

CommandRun ApplianceProcess::simctl(const std::string& arguments) const {
  return runCommand(binary("tools/simctl/simctl") + " --root " + shellQuoted(root()) + " " + arguments + " 2>&1");
}

std::string ApplianceProcess::enter(const std::string& ns, const std::string& command) const {
  return "nsenter --net=/run/netns/" + ns + " sh -c " + shellQuoted(command);
}

CommandRun ApplianceProcess::inPeer(const std::string& command) const {
  return runCommand(enter(net_.peer(), command) + " 2>&1");
}

CommandRun ApplianceProcess::inside(const std::string& command) const {
  return runCommand(enter(net_.inside(), command) + " 2>&1");
}

namespace {
int backgroundCounter = 0;
}

ApplianceProcess::Background::Background(const ApplianceProcess& appliance, const std::string& command)
    : log_(appliance.root() + "/background-" + std::to_string(++backgroundCounter) + ".log") {
  const std::string line = appliance.enter(appliance.net_.peer(), command);
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) _exit(126);
    ::dup2(out, 1);
    ::dup2(out, 2);
    // Its own process group, so that the kill reaches what the shell started.
    ::setpgid(0, 0);
    ::execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = child;
}

ApplianceProcess::Background::~Background() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

std::string ApplianceProcess::Background::output() const { return readFileText(log_); }

bool ApplianceProcess::Background::waitForOutput(const std::string& text, Duration limit) {
  return eventually([&] { return output().find(text) != std::string::npos; }, limit, 20ms);
}

int ApplianceProcess::Background::wait(Duration limit) {
  if (pid_ <= 0) return exitCode_;
  const std::optional<int> status = reapWithin(pid_, limit);
  if (!status) return -1;
  pid_ = -1;
  exitCode_ = WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  return exitCode_;
}

CommandRun ApplianceProcess::usbclient(const std::string& arguments) const {
  return inPeer(binary("tools/usbclient/usbclient") + " --host " + address() + " " + arguments);
}

int ApplianceProcess::awaitExit(Duration limit) {
  if (pid_ <= 0) return -1;
  const std::optional<int> status = reapWithin(pid_, limit);
  if (!status) return -1;
  pid_ = -1;
  return *status;
}

int ApplianceProcess::stop(int sig, Duration limit) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, sig);
  const int status = awaitExit(limit);
  if (status == -1 && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int ignored = 0;
    ::waitpid(pid_, &ignored, 0);
    pid_ = -1;
  }
  return status;
}
