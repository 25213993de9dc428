#include "sim/usb/sim_usb_commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "sim/usb/sim_usb_models.h"

namespace {

const std::map<std::string, int> kErrnoNames = {
    {"EPERM", EPERM},         {"ENOENT", ENOENT},       {"EINTR", EINTR},         {"EIO", EIO},
    {"ENXIO", ENXIO},         {"EAGAIN", EAGAIN},       {"ENOMEM", ENOMEM},       {"EBUSY", EBUSY},
    {"ENODEV", ENODEV},       {"EINVAL", EINVAL},       {"ENOTTY", ENOTTY},       {"EPIPE", EPIPE},
    {"EPROTO", EPROTO},       {"EOVERFLOW", EOVERFLOW}, {"ECONNRESET", ECONNRESET}, {"ESHUTDOWN", ESHUTDOWN},
    {"ETIMEDOUT", ETIMEDOUT}, {"EILSEQ", EILSEQ},
};

const std::map<std::string, SimFault> kFaults = {
    {"open", SimFault::Open},   {"submit", SimFault::Submit}, {"reset", SimFault::Reset},
    {"control", SimFault::Control}, {"claim", SimFault::Claim}, {"551a", SimFault::Request551A},
    {"unplug-status", SimFault::UnplugStatus},
};

const std::map<std::string, std::string> kSpeeds = {
    {"low", "1.5"}, {"full", "12"}, {"high", "480"}, {"super", "5000"}};

const std::map<std::string, SimPacing> kPacings = {
    {"none", SimPacing::Unthrottled}, {"high", SimPacing::HighSpeed}, {"full", SimPacing::FullSpeed}};

const char* pacingName(SimPacing pacing) {
  for (const auto& [name, value] : kPacings) {
    if (value == pacing) return name.c_str();
  }
  return "?";
}

bool parseUnsigned(const std::string& text, int base, unsigned long long max, unsigned long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-' || text[0] == '+') return false;
  *value = v;
  return true;
}

// "1-1.3" -> bus 1, devpath "1.3".
bool parsePlace(const std::string& text, int* bus, std::string* devpath) {
  const size_t dash = text.find('-');
  unsigned long long value = 0;
  if (dash == std::string::npos || !parseUnsigned(text.substr(0, dash), 10, 127, &value)) return false;
  *bus = static_cast<int>(value);
  *devpath = text.substr(dash + 1);
  return !devpath->empty();
}

// A negative error number, or 0; "ENODEV", "19", "-19" and "0" are accepted.
bool parseError(const std::string& text, int* error) {
  auto it = kErrnoNames.find(text);
  if (it != kErrnoNames.end()) {
    *error = -it->second;
    return true;
  }
  unsigned long long value = 0;
  const std::string digits = !text.empty() && text[0] == '-' ? text.substr(1) : text;
  if (!parseUnsigned(digits, 10, 4095, &value)) return false;
  *error = -static_cast<int>(value);
  return true;
}

bool parseSize(const std::string& text, unsigned long long* bytes) {
  if (text.empty()) return false;
  unsigned long long scale = 1;
  std::string digits = text;
  switch (text.back()) {
    case 'k': case 'K': scale = 1ull << 10; break;
    case 'm': case 'M': scale = 1ull << 20; break;
    case 'g': case 'G': scale = 1ull << 30; break;
    default: break;
  }
  if (scale != 1) digits.pop_back();
  unsigned long long value = 0;
  if (!parseUnsigned(digits, 10, (1ull << 40) / scale, &value)) return false;
  *bytes = value * scale;
  return true;
}

bool parseHexReport(const std::string& text, std::vector<uint8_t>* report) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned long long byte = 0;
    if (!parseUnsigned(text.substr(i, 2), 16, 255, &byte)) return false;
    report->push_back(static_cast<uint8_t>(byte));
  }
  return true;
}

std::string errorText(int rc) { return std::strerror(-rc); }

}  // namespace

SimUsbCommands::SimUsbCommands(SimUsbHost& host, SimCommandRegistry& registry) : host_(host) {
  registry.add("usb", [this](const std::vector<std::string>& arguments) { return run(arguments); });
}

SimReply SimUsbCommands::run(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return SimReply::failure("usb plug|unplug|list|hid|stats|fail ...");
  const std::string& verb = arguments.front();
  const std::vector<std::string> rest(arguments.begin() + 1, arguments.end());
  if (verb == "plug") return plug(rest);
  if (verb == "unplug") return unplug(rest);
  if (verb == "list") return list();
  if (verb == "hid") return hid(rest);
  if (verb == "stats") return stats();
  if (verb == "fail") return fail(rest);
  return SimReply::failure("unknown usb command: " + verb);
}

SimReply SimUsbCommands::plug(const std::vector<std::string>& arguments) {
  if (arguments.size() < 2) return SimReply::failure("usage: usb plug MODEL BUS-DEVPATH [VID:PID] [options]");
  int bus = 0;
  std::string devpath;
  if (!parsePlace(arguments[1], &bus, &devpath)) return SimReply::failure("bad place " + arguments[1]);
  SimModelOptions options;
  SimPlugSettings settings;
  settings.speed = arguments[0] == "keyboard" ? "12" : "480";
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    const size_t equals = option.find('=');
    const std::string key = option.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : option.substr(equals + 1);
    unsigned long long number = 0;
    if (i == 2 && option.size() == 9 && option[4] == ':') {
      unsigned long long vendor = 0;
      if (!parseUnsigned(option.substr(0, 4), 16, 0xFFFF, &vendor) ||
          !parseUnsigned(option.substr(5), 16, 0xFFFF, &number)) {
        return SimReply::failure("bad ids " + option);
      }
      options.vendor = static_cast<uint16_t>(vendor);
      options.product = static_cast<uint16_t>(number);
    } else if (key == "speed" && kSpeeds.count(value)) {
      settings.speed = kSpeeds.at(value);
    } else if (key == "pace" && kPacings.count(value)) {
      settings.pacing = kPacings.at(value);
    } else if (key == "disk" && !value.empty()) {
      options.diskPath = value;
    } else if (key == "size" && parseSize(value, &number) && number >= 512) {
      options.diskBytes = number;
    } else if (option == "nostrings") {
      options.strings = false;
    } else if (option == "ee") {
      options.string0xEE = true;
    } else if (key == "bound" && parseUnsigned(value, 10, 31, &number)) {
      settings.kernelBound.push_back(static_cast<uint8_t>(number));
    } else if (key == "secret" && !value.empty()) {
      options.secret = value;
    } else {
      return SimReply::failure("bad option " + option);
    }
  }
  options.highSpeed = settings.speed == "480" || settings.speed == "5000";
  std::string error;
  std::unique_ptr<SimUsbModel> model = makeSimUsbModel(arguments[0], options, &error);
  if (!model) return SimReply::failure(error);
  const int devnum = host_.plug(bus, devpath, std::move(model), settings);
  if (devnum < 0) return SimReply::failure("cannot plug " + arguments[1] + ": " + errorText(devnum));
  return SimReply::success(arguments[1] + " dev=" + std::to_string(devnum));
}

SimReply SimUsbCommands::unplug(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1) return SimReply::failure("usage: usb unplug BUS-DEVPATH");
  const int rc = host_.unplug(arguments[0]);
  if (rc < 0) return SimReply::failure("no device at " + arguments[0]);
  return SimReply::success();
}

SimReply SimUsbCommands::list() {
  std::string text;
  for (const SimDeviceStatus& d : host_.devices()) {
    char line[160];
    std::snprintf(line, sizeof line, "%s %s %04x:%04x dev=%d speed=%s pace=%s\n", d.name.c_str(), d.model.c_str(),
                  d.vendor, d.product, d.devnum, d.speed.c_str(), pacingName(d.pacing));
    text += line;
  }
  return SimReply::success(text);
}

SimReply SimUsbCommands::hid(const std::vector<std::string>& arguments) {
  std::vector<uint8_t> report;
  if (arguments.size() != 2 || !parseHexReport(arguments[1], &report)) {
    return SimReply::failure("usage: usb hid BUS-DEVPATH HEXREPORT");
  }
  const int rc = host_.injectReport(arguments[0], report);
  if (rc < 0) return SimReply::failure("cannot inject into " + arguments[0] + ": " + errorText(rc));
  return SimReply::success();
}

SimReply SimUsbCommands::stats() {
  std::string text;
  for (const SimDeviceStatus& d : host_.devices()) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%s resets=%llu claims=%llu pending=%llu in=%llu out=%llu controls=%llu setconfig0=%llu "
                  "req551a=%llu\n",
                  d.name.c_str(), static_cast<unsigned long long>(d.resets), static_cast<unsigned long long>(d.claims),
                  static_cast<unsigned long long>(d.pendingUrbs), static_cast<unsigned long long>(d.bytesIn),
                  static_cast<unsigned long long>(d.bytesOut), static_cast<unsigned long long>(d.controls),
                  static_cast<unsigned long long>(d.setConfigZero), static_cast<unsigned long long>(d.requests551A));
    text += line;
  }
  text += "memory=" + std::to_string(host_.pendingBytes()) + "\n";
  return SimReply::success(text);
}

SimReply SimUsbCommands::fail(const std::vector<std::string>& arguments) {
  if (arguments.size() == 2 && arguments[0] == "memory-limit") {
    unsigned long long bytes = 0;
    if (!parseSize(arguments[1], &bytes)) return SimReply::failure("bad size " + arguments[1]);
    host_.setMemoryLimit(static_cast<size_t>(bytes));
    return SimReply::success();
  }
  if (arguments.size() == 2 && arguments[0] == "readonly-ioctl") {
    if (arguments[1] != "eperm" && arguments[1] != "allow") return SimReply::failure("readonly-ioctl eperm|allow");
    host_.allowIoctlsOnReadOnlyNodes(arguments[1] == "allow");
    return SimReply::success();
  }
  if (arguments.size() != 3) return SimReply::failure("usage: usb fail BUS-DEVPATH WHAT VALUE");
  const std::string& name = arguments[0];
  int rc;
  if (arguments[1] == "stall") {
    unsigned long long endpoint = 0;
    if (!parseUnsigned(arguments[2], 0, 255, &endpoint)) return SimReply::failure("bad endpoint " + arguments[2]);
    rc = host_.stallEndpoint(name, static_cast<uint8_t>(endpoint));
  } else {
    auto fault = kFaults.find(arguments[1]);
    if (fault == kFaults.end()) return SimReply::failure("unknown failure " + arguments[1]);
    int error = 0;
    if (arguments[2] == "off") {
      rc = host_.clearFault(name, fault->second);
    } else if (parseError(arguments[2], &error)) {
      rc = host_.setFault(name, fault->second, error);
    } else {
      return SimReply::failure("bad error " + arguments[2]);
    }
  }
  if (rc < 0) return SimReply::failure("no device at " + name);
  return SimReply::success();
}
