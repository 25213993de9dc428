#include "sim/gpio/sim_gpio_commands.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool parseNumber(const std::string& text, long long min, long long max, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

SimGpioCommands::SimGpioCommands(SimGpioDriver& driver, SimCommandRegistry& registry) : driver_(driver) {
  registry.add("gpio", [this](const std::vector<std::string>& a) { return gpio(a); });
  registry.add("button", [this](const std::vector<std::string>& a) { return button(a); });
  registry.add("power", [this](const std::vector<std::string>& a) { return power(a); });
  registry.add("card", [this](const std::vector<std::string>& a) { return card(a); });
  registry.add("fail", [this](const std::vector<std::string>& a) { return fail(a); });
}

SimReply SimGpioCommands::gpio(const std::vector<std::string>& arguments) {
  if (arguments.size() == 1 && arguments[0] == "state") return SimReply::success(driver_.stateText());
  if (!arguments.empty() && arguments[0] == "journal" && arguments.size() <= 2) {
    long long since = 0;
    if (arguments.size() == 2 && !parseNumber(arguments[1], 0, INT64_MAX, &since)) {
      return SimReply::failure("journal: bad sequence number");
    }
    std::string text;
    for (const SimGpioRecord& record : driver_.journal(static_cast<uint64_t>(since))) {
      text += SimGpioDriver::recordText(record) + "\n";
    }
    return SimReply::success(text);
  }
  if (arguments.size() == 2 && arguments[0] == "warp") {
    long long ticks = 0;
    if (!parseNumber(arguments[1], 0, 100LL * 86400 * 3650, &ticks)) return SimReply::failure("warp: bad tick count");
    driver_.warp(ticks);
    return SimReply::success();
  }
  return SimReply::failure("usage: gpio state | gpio journal [SINCE] | gpio warp TICKS");
}

SimReply SimGpioCommands::button(const std::vector<std::string>& arguments) {
  long long n = 0;
  if (arguments.size() != 2 || !parseNumber(arguments[0], 0, 31, &n)) {
    return SimReply::failure("usage: button N CHARS");
  }
  int rc = driver_.pressButton(static_cast<int>(n), arguments[1]);
  if (rc < 0) return SimReply::failure("button " + arguments[0] + ": " + std::strerror(-rc));
  return SimReply::success();
}

SimReply SimGpioCommands::power(const std::vector<std::string>& arguments) {
  if (arguments.size() != 2 || (arguments[0] != "1" && arguments[0] != "2") ||
      (arguments[1] != "on" && arguments[1] != "off")) {
    return SimReply::failure("usage: power 1|2 on|off");
  }
  driver_.setPowerInput(arguments[0] == "1" ? 1 : 2, arguments[1] == "on");
  return SimReply::success();
}

SimReply SimGpioCommands::card(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1 || (arguments[0] != "in" && arguments[0] != "out")) {
    return SimReply::failure("usage: card in|out");
  }
  driver_.setCard(arguments[0] == "in");
  return SimReply::success();
}

SimReply SimGpioCommands::fail(const std::vector<std::string>& arguments) {
  long long request = 0;
  long long count = 1;
  if (arguments.empty() || arguments.size() > 2 || !parseNumber(arguments[0], 1, 0xFFFFFFFFLL, &request) ||
      (arguments.size() == 2 && !parseNumber(arguments[1], 0, 1000000, &count))) {
    return SimReply::failure("usage: fail REQUEST [COUNT]");
  }
  driver_.failNext(static_cast<unsigned long>(request), static_cast<int>(count));
  return SimReply::success();
}
