// The appliance's start as the start script and an operator see it: the
// banner with the start counter, and the tasks it runs as named threads.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/appliance_process.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;

// The start script's counter; -1 when it passes none.
TEST(ApplianceStart, BannerNamesInterfaceAddressPortsAndKickOff) {
  for (const int kickOff : {3, 0, -1}) {
    ApplianceProcess appliance("basic4");
    ASSERT_TRUE(appliance.ok()) << appliance.error();
    ASSERT_TRUE(appliance.start(kickOff)) << appliance.error();
    const std::string banner = "\n#\n##\n#### kvz Master running on eth0 ip:198.18.77.2/255.255.255.0 HTTP:80 HTTPS:443 KickOff:" +
                               std::to_string(kickOff) + " ####\n##\n#\n";
    EXPECT_TRUE(appliance.waitForOutput(banner, 2000ms)) << appliance.output();
  }
}

std::set<std::string> threadNames(pid_t pid) {
  std::set<std::string> names;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (!dir) return names;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string name = readFileText(tasks + "/" + entry->d_name + "/comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    names.insert(name);
  }
  closedir(dir);
  return names;
}

std::string joined(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += name + " ";
  return text;
}

// The Blinker runs only on the board whose driver plays no LED patterns.
TEST(ApplianceStart, TasksRunAsNamedThreads) {
  struct Row {
    const char* profile;
    std::vector<std::string> running;
    std::vector<std::string> absent;
  };
  const Row rows[] = {
      {"basic4", {"GPio", "UsbSrvd", "LazyHubWatcher"}, {"Blinker"}},
      {"blinker", {"GPio", "UsbSrvd", "LazyHubWatcher", "Blinker"}, {}},
  };
  for (const Row& row : rows) {
    ApplianceProcess appliance(row.profile);
    ASSERT_TRUE(appliance.ok()) << appliance.error();
    ASSERT_TRUE(appliance.start(1)) << appliance.error();
    std::set<std::string> names;
    const bool allRunning = eventually(
        [&] {
          names = threadNames(appliance.pid());
          for (const std::string& name : row.running) {
            if (!names.count(name)) return false;
          }
          return true;
        },
        10000ms);
    EXPECT_TRUE(allRunning) << row.profile << ": " << joined(names);
    for (const std::string& name : row.absent) {
      EXPECT_EQ(names.count(name), 0u) << row.profile << ": " << joined(names);
    }
  }
}

// Before TLS starts: an imported key whose certificate is missing goes, and
// a root certificate kept as a plain file moves into the CA store with the
// link in its place.
TEST(ApplianceStart, CertificateFilesAreTidiedBeforeTlsStarts) {
  ApplianceProcess appliance("basic4");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  const std::string flash = appliance.root() + "/flash";
  const CommandRun made = runCommand("openssl req -x509 -newkey rsa:2048 -nodes -keyout /dev/null -subj /CN=root -days 2 -out '" +
                                     flash + "/cert_root.pem' 2>&1");
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string hash =
      runCommand("openssl x509 -noout -subject_hash -in '" + flash + "/cert_root.pem'").output.substr(0, 8);
  ASSERT_EQ(hash.size(), 8u);
  // An imported key without its certificate (the prepared root's factory
  // pair replaced by a key alone).
  ::unlink((flash + "/cert_fsrv.pem").c_str());
  ASSERT_EQ(runCommand("printf 'key' > '" + flash + "/cert_fpkey.pem'").exitCode, 0);

  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  // The banner comes first.
  const auto linkTarget = [&] {
    char target[64] = {};
    const ssize_t n = ::readlink((flash + "/cert_root.pem").c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  };
  EXPECT_TRUE(eventually([&] { return linkTarget() == hash + ".0"; }, 3000ms)) << linkTarget();
  struct stat st{};
  EXPECT_NE(::lstat((flash + "/cert_fpkey.pem").c_str(), &st), 0) << "unpaired imported key kept";
  EXPECT_NE(readFileText(flash + "/" + hash + ".0").find("BEGIN CERTIFICATE"), std::string::npos);
}

}  // namespace
