// The appliance's own hardware through the simulated drivers: the factory
// reset button, link and supply losses on the status display, the beeper and
// the relay, the card slot, the Blinker, and the driver's counter as the
// process's clock.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <vector>
#include <cstdio>
#include <ctime>
#include <functional>
#include <thread>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/eventually.h"
#include "tests/support/appliance_process.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;

std::string gpioState(const ApplianceProcess& appliance) { return appliance.simctl("gpio state").output; }

bool displayShows(const ApplianceProcess& appliance, const std::string& shown) {
  return gpioState(appliance).find("display " + shown) != std::string::npos;
}

bool writeText(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// The parameter file the product writes at its first start, with no
// parameter file in the root.
std::string firstStartParameters(const std::string& root) {
  return runCommand(ApplianceProcess::binary("tools/params-dump/params-dump") + " --root '" + root + "' 2>/dev/null")
      .output;
}

TEST(ApplianceDevices, FactoryResetButtonRestartsWithTheDefaultParameters) {
  ApplianceProcess appliance("basic4");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  const std::string paramsFile = appliance.root() + "/etc/params.dat";
  ASSERT_NE(readFileText(paramsFile).find("198.18.77.2"), std::string::npos) << "the seeded address";
  ASSERT_TRUE(appliance.start(1)) << appliance.error();

  // The press reaches the driver once the GPio task reads the button.
  CommandRun press;
  ASSERT_TRUE(eventually([&] { return (press = appliance.simctl("button 0 1")).exitCode == 0; }, 10000ms))
      << press.output;
  const int status = appliance.awaitExit(8000ms);
  ASSERT_NE(status, -1) << "still running after the button press:\n" << appliance.output();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  ASSERT_FALSE(fileExists(paramsFile)) << readFileText(paramsFile);
  const std::string defaults = firstStartParameters(appliance.root());
  ASSERT_NE(defaults.find(" ip_addr = 0.0.0.0\n"), std::string::npos) << defaults;

  // The start script starts it again after a restart request.
  ASSERT_TRUE(appliance.start(0)) << appliance.error();
  EXPECT_TRUE(appliance.waitForOutput("ip:0.0.0.0/", 2000ms)) << appliance.output();
  ASSERT_TRUE(eventually([&] { return fileExists(paramsFile); }, 5000ms));
  EXPECT_EQ(readFileText(paramsFile), defaults);
}

// Journal records of one request with its first argument word.
int journalCount(const ApplianceProcess& appliance, const std::string& requestAndWord) {
  const std::string journal = appliance.simctl("gpio journal").output;
  const std::string needle = " " + requestAndWord + " ";
  int count = 0;
  for (size_t at = journal.find(needle); at != std::string::npos; at = journal.find(needle, at + 1)) ++count;
  return count;
}

// The panel board's beeper is output 31.
int beeps(const ApplianceProcess& appliance) { return journalCount(appliance, "0x40040AC2 0x80000000"); }

// The display model shows "E5" blinking while the wired link is lost and,
// with beepLnk on, beeps at every supervision pass; both end when the link
// returns.
TEST(ApplianceDevices, CablePullShowsE5AndBeepsUntilTheLinkReturns) {
  ApplianceProcess appliance("display");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  const std::string paramsFile = appliance.root() + "/etc/params.dat";
  ASSERT_TRUE(writeText(paramsFile, readFileText(paramsFile) + " beepLnk = on\n"));
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  // The start-up chase ends with the default text.
  ASSERT_TRUE(eventually([&] { return displayShows(appliance, "\"DS\" blink 0 0 0 0"); }, 10000ms))
      << gpioState(appliance);
  EXPECT_EQ(beeps(appliance), 0) << "no beep while the link is good";

  ASSERT_EQ(appliance.inPeer("ip link set peer0 down").exitCode, 0);
  EXPECT_TRUE(eventually([&] { return displayShows(appliance, "\"E5\" blink 11 15 1 200"); }, 5000ms))
      << gpioState(appliance);
  EXPECT_TRUE(eventually([&] { return beeps(appliance) >= 2; }, 5000ms)) << beeps(appliance);

  ASSERT_EQ(appliance.inPeer("ip link set peer0 up").exitCode, 0);
  // The rotation falls back to the default text and stays there.
  ASSERT_TRUE(eventually([&] { return displayShows(appliance, "\"DS\" blink 0 0 0 0"); }, 8000ms))
      << gpioState(appliance);
  const int beepsAfter = beeps(appliance);
  EXPECT_FALSE(eventually([&] { return displayShows(appliance, "\"E5\""); }, 3000ms)) << gpioState(appliance);
  EXPECT_EQ(beeps(appliance), beepsAfter);
}

// The display model beeps once when it starts after a boot (KickOff 0), not
// when the start script restarts it.
TEST(ApplianceDevices, StartBeepOnlyAfterABoot) {
  for (const int kickOff : {0, 1}) {
    ApplianceProcess appliance("display");
    ASSERT_TRUE(appliance.ok()) << appliance.error();
    ASSERT_TRUE(appliance.start(kickOff)) << appliance.error();
    // The beep comes before the start-up chase ends with the default text.
    ASSERT_TRUE(eventually([&] { return displayShows(appliance, "\"DS\" blink 0 0 0 0"); }, 10000ms))
        << gpioState(appliance);
    EXPECT_EQ(beeps(appliance), kickOff == 0 ? 1 : 0) << "KickOff " << kickOff;
  }
}

// The stop locks the display on "RS"; a lost link no longer reaches it.
TEST(ApplianceDevices, StopShowsRSUntilTheEnd) {
  ApplianceProcess appliance("display");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  ASSERT_TRUE(eventually([&] { return displayShows(appliance, "\"DS\" blink 0 0 0 0"); }, 10000ms))
      << gpioState(appliance);
  ASSERT_EQ(::kill(appliance.pid(), SIGTERM), 0);
  EXPECT_TRUE(eventually([&] { return displayShows(appliance, "\"RS\" blink 11 15 1 200"); }, 1500ms, 20ms))
      << gpioState(appliance);
  ASSERT_EQ(appliance.inPeer("ip link set peer0 down").exitCode, 0);
  EXPECT_FALSE(eventually([&] { return displayShows(appliance, "\"E5\""); }, 1200ms, 20ms)) << gpioState(appliance);
  const int status = appliance.awaitExit(8000ms);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Output 29 off is the relay on (active low).
int relaySwitchedOn(const ApplianceProcess& appliance) { return journalCount(appliance, "0x40040AC3 0x20000000"); }

// The relay model's relay follows "network connection interrupted" and
// "power supply 1 interrupted" (its profile's settings): a cable pull and a
// lost supply reach the output through the supervision loop.
TEST(ApplianceDevices, RelaySwitchesOnLinkLossAndOnPowerLoss) {
  struct Row {
    const char* what;
    std::function<CommandRun(const ApplianceProcess&)> cause;
  };
  const Row rows[] = {
      {"cable pull", [](const ApplianceProcess& a) { return a.inPeer("ip link set peer0 down"); }},
      {"supply 1 lost", [](const ApplianceProcess& a) { return a.simctl("power 1 off"); }},
  };
  for (const Row& row : rows) {
    ApplianceProcess appliance("relay");
    ASSERT_TRUE(appliance.ok()) << appliance.error();
    ASSERT_TRUE(appliance.start(1)) << appliance.error();
    ASSERT_TRUE(eventually([&] { return gpioState(appliance).find("timing 3500 3550") != std::string::npos; }, 10000ms));
    // A few supervision passes with supplies and link as they were.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(relaySwitchedOn(appliance), 0) << row.what << "\n" << appliance.simctl("gpio journal").output;

    ASSERT_EQ(row.cause(appliance).exitCode, 0) << row.what;
    EXPECT_TRUE(eventually([&] { return relaySwitchedOn(appliance) == 1; }, 5000ms))
        << row.what << "\n" << appliance.simctl("gpio journal").output;
  }
}

// A lost supply shows "E1" with the dot of the missing input.
TEST(ApplianceDevices, LostSupplyShowsE1OnTheStatusDisplay) {
  ApplianceProcess appliance("display");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  ASSERT_TRUE(eventually([&] { return displayShows(appliance, "\"DS\" blink 0 0 0 0"); }, 10000ms))
      << gpioState(appliance);
  ASSERT_EQ(appliance.simctl("power 1 off").exitCode, 0);
  EXPECT_TRUE(eventually([&] { return displayShows(appliance, "\"E1.\" blink 11 15 1 200"); }, 6000ms))
      << gpioState(appliance);
}

// The card-reader variant lights LED 0 (port 1) while a memory card is in
// its slot: colour 1 steady on the port-LED board is bit 8.
TEST(ApplianceDevices, MemoryCardLightsTheFirstPortLed) {
  ApplianceProcess appliance("cardreader");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  const std::string lit = "pattern 8 0x00010100 0x00000100 0x00000000 0 0";
  const std::string dark = "pattern 8 0x00010100 0x00000000 0x00000000 0 0";
  ASSERT_TRUE(eventually([&] { return gpioState(appliance).find("timing 3500 3550") != std::string::npos; }, 10000ms));
  EXPECT_NE(gpioState(appliance).find(dark), std::string::npos) << gpioState(appliance);

  ASSERT_EQ(appliance.simctl("card in").exitCode, 0);
  EXPECT_TRUE(eventually([&] { return gpioState(appliance).find(lit) != std::string::npos; }, 4000ms))
      << gpioState(appliance);
  ASSERT_EQ(appliance.simctl("card out").exitCode, 0);
  EXPECT_TRUE(eventually([&] { return gpioState(appliance).find(dark) != std::string::npos; }, 4000ms))
      << gpioState(appliance);
}

// The GPIO driver's counter is the process's tick clock: moving it past the
// first 61 minutes lets the daily restart of this hour happen.
TEST(ApplianceDevices, DailyRestartWaitsForTheDriverCounter) {
  // The restart hour must still be the current one when the test looks.
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  if (utc.tm_min == 59 && utc.tm_sec > 30) std::this_thread::sleep_for(std::chrono::seconds(61 - utc.tm_sec));
  now = std::time(nullptr);
  gmtime_r(&now, &utc);

  ApplianceProcess appliance("managed20");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  const std::string paramsFile = appliance.root() + "/etc/params.dat";
  ASSERT_TRUE(writeText(paramsFile, readFileText(paramsFile) + " dailyrestart = " + std::to_string(utc.tm_hour) + "\n"));
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  // One whole pass of the watcher (6 s) within the first hour: no restart.
  EXPECT_EQ(appliance.awaitExit(7000ms), -1) << appliance.output();

  ASSERT_EQ(appliance.simctl("gpio warp 370000").exitCode, 0);
  const int status = appliance.awaitExit(12000ms);
  ASSERT_NE(status, -1) << "no daily restart:\n" << appliance.output();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 2);
}

// The status LED element the Blinker wrote at each step (0 or 1), in order,
// from journal records after `since`.
std::vector<int> blinkerSteps(const ApplianceProcess& appliance, uint64_t since) {
  std::vector<int> steps;
  std::istringstream journal(appliance.simctl("gpio journal " + std::to_string(since)).output);
  std::string line;
  while (std::getline(journal, line)) {
    if (line.find(" gpio 0x40040AA3 0x07000000 ") != std::string::npos) steps.push_back(1);
    if (line.find(" gpio 0x40040AA3 0x03000000 ") != std::string::npos) steps.push_back(0);
  }
  return steps;
}

// Whether `pattern` occurs in `steps`, and `then` after it when given.
bool holds(const std::vector<int>& steps, const std::vector<int>& pattern, const std::vector<int>& then = {}) {
  const auto at = std::search(steps.begin(), steps.end(), pattern.begin(), pattern.end());
  if (at == steps.end()) return false;
  return then.empty() || std::search(at + pattern.size(), steps.end(), then.begin(), then.end()) != steps.end();
}

uint64_t lastSequence(const ApplianceProcess& appliance) {
  const std::string journal = appliance.simctl("gpio journal").output;
  const size_t lineStart = journal.rfind('\n', journal.size() >= 2 ? journal.size() - 2 : 0);
  return std::strtoull(journal.c_str() + (lineStart == std::string::npos ? 0 : lineStart + 1), nullptr, 10);
}

// On the board whose driver plays no patterns the Blinker steps the status
// LED itself: the address pattern, and the identify pattern after signal 57.
TEST(ApplianceDevices, BlinkerShowsTheAddressAndIdentifiesOnSignal57) {
  const std::vector<int> identify = {0, 0, 0, 1, 0, 1, 0, 0};
  const std::vector<int> address = {0, 0, 0, 1, 0, 1, 0, 1};
  ApplianceProcess appliance("blinker");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  std::vector<int> steps;
  ASSERT_TRUE(eventually([&] { return steps = blinkerSteps(appliance, 0), steps.size() >= 16; }, 8000ms));
  EXPECT_TRUE(holds(steps, address));
  EXPECT_FALSE(holds(steps, identify));

  const uint64_t since = lastSequence(appliance);
  ASSERT_EQ(::kill(appliance.pid(), 57), 0);
  EXPECT_TRUE(appliance.waitForOutput("testSigHandler(57) <", 3000ms)) << appliance.output();
  EXPECT_TRUE(eventually([&] { return steps = blinkerSteps(appliance, since), holds(steps, identify); }, 5000ms));
  // Then the address pattern again.
  EXPECT_TRUE(
      eventually([&] { return steps = blinkerSteps(appliance, since), holds(steps, identify, address); }, 5000ms));
}

// "INDEX PORT" of the first `usbclient list` line naming vidPid, or "".
std::string listedDevice(const ApplianceProcess& appliance, const std::string& vidPid) {
  std::istringstream lines(appliance.usbclient("list").output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string index, port, speed, id;
    if (words >> index >> port >> speed >> id && id == vidPid) return index + " " + port;
  }
  return "";
}

// While a client holds a USB device the Blinker keeps the status LED on.
TEST(ApplianceDevices, BlinkerKeepsTheLedOnWhileADeviceIsInUse) {
  const std::vector<int> steadyOn(8, 1);
  ApplianceProcess appliance("blinker");
  ASSERT_TRUE(appliance.ok()) << appliance.error();
  ASSERT_TRUE(appliance.start(1)) << appliance.error();
  ASSERT_TRUE(appliance.plugProfileDevices());
  std::string storage;
  ASSERT_TRUE(eventually([&] { return !(storage = listedDevice(appliance, "0781:5567")).empty(); }, 10000ms))
      << appliance.usbclient("list").output;
  EXPECT_FALSE(holds(blinkerSteps(appliance, 0), steadyOn));

  const uint64_t since = lastSequence(appliance);
  {
    ApplianceProcess::Background client(appliance, ApplianceProcess::binary("tools/usbclient/usbclient") +
                                                        " --host " + ApplianceProcess::address() + " connect " +
                                                        storage + " 30");
    ASSERT_TRUE(client.waitForOutput("connected index")) << client.output();
    EXPECT_TRUE(eventually([&] { return holds(blinkerSteps(appliance, since), steadyOn); }, 6000ms));
  }
  // The client is gone: the address pattern comes back.
  const uint64_t released = lastSequence(appliance);
  EXPECT_TRUE(eventually([&] { return holds(blinkerSteps(appliance, released), {0, 0, 0, 1, 0, 1, 0, 1}); }, 8000ms));
}

}  // namespace
