#include "sim/usb/sim_sysfs_tree.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string format(const char* pattern, unsigned value) {
  char text[32];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

bool writeFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

// The attribute files of one device directory.
std::vector<std::pair<std::string, std::string>> deviceAttributes(const SimSysfsDevice& d) {
  const SimDeviceDescription& desc = *d.description;
  const unsigned minor = static_cast<unsigned>((d.bus - 1) * 128 + d.devnum - 1);
  const SimConfiguration* first = desc.configurations.empty() ? nullptr : &desc.configurations.front();
  std::vector<std::pair<std::string, std::string>> files = {
      {"busnum", std::to_string(d.bus) + "\n"},
      {"devnum", std::to_string(d.devnum) + "\n"},
      {"devpath", d.devpath + "\n"},
      {"dev", "189:" + std::to_string(minor) + "\n"},
      {"idVendor", format("%04x\n", desc.vendor)},
      {"idProduct", format("%04x\n", desc.product)},
      {"bcdDevice", format("%04x\n", desc.bcdDevice)},
      {"bDeviceClass", format("%02x\n", desc.deviceClass)},
      {"bDeviceSubClass", format("%02x\n", desc.deviceSubClass)},
      {"bDeviceProtocol", format("%02x\n", desc.deviceProtocol)},
      {"bMaxPower", format("%umA\n", first ? first->maxPower * 2u : 0u)},
      {"bNumConfigurations", std::to_string(desc.configurations.size()) + "\n"},
      {"bConfigurationValue", first ? std::to_string(first->value) + "\n" : "\n"},
      {"bNumInterfaces", format("%2u\n", first ? static_cast<unsigned>(first->interfaceNumbers().size()) : 0u)},
      {"speed", d.speed + "\n"},
      {"version", format(" %x.", desc.bcdUsb >> 8) + format("%02x\n", desc.bcdUsb & 0xFF)},
      {"maxchild", desc.deviceClass == 9 ? "4\n" : "0\n"},
  };
  const std::pair<uint8_t, const char*> texts[] = {
      {desc.manufacturerIndex, "manufacturer"}, {desc.productIndex, "product"}, {desc.serialIndex, "serial"}};
  for (const auto& [index, file] : texts) {
    auto it = desc.strings.find(index);
    if (index != 0 && it != desc.strings.end()) files.emplace_back(file, it->second + "\n");
  }
  const std::vector<uint8_t> node = desc.nodeFile();
  files.emplace_back("descriptors", std::string(node.begin(), node.end()));
  return files;
}

std::vector<std::pair<std::string, std::string>> interfaceAttributes(const SimAltSetting& alt) {
  return {
      {"bInterfaceClass", format("%02x\n", alt.interfaceClass)},
      {"bInterfaceSubClass", format("%02x\n", alt.interfaceSubClass)},
      {"bInterfaceProtocol", format("%02x\n", alt.interfaceProtocol)},
      {"bInterfaceNumber", format("%02x\n", alt.number)},
      {"bAlternateSetting", format("%2u\n", alt.alternate)},
      {"bNumEndpoints", format("%02x\n", static_cast<unsigned>(alt.endpoints.size()))},
  };
}

}  // namespace

bool SimSysfsTree::publish(const std::string& name, const std::string& stagedDir) {
  std::error_code ec;
  fs::rename(stagedDir, fs::path(devicesDir_) / name, ec);
  if (ec) fs::remove_all(stagedDir, ec);
  return !ec;
}

bool SimSysfsTree::addDevice(const SimSysfsDevice& device) {
  std::error_code ec;
  fs::create_directories(devicesDir_, ec);
  if (ec) return false;
  auto stage = [&](const std::vector<std::pair<std::string, std::string>>& files) -> std::string {
    const fs::path dir = fs::path(devicesDir_) / (".staging-" + std::to_string(++staging_));
    std::error_code mkdirError;
    fs::create_directory(dir, mkdirError);
    if (mkdirError) return {};
    for (const auto& [file, content] : files) {
      if (!writeFile(dir / file, content)) {
        fs::remove_all(dir, mkdirError);
        return {};
      }
    }
    return dir.string();
  };

  // Interfaces first: a reader that finds the device also finds them.
  const SimDeviceDescription& desc = *device.description;
  if (!desc.configurations.empty()) {
    const SimConfiguration& config = desc.configurations.front();
    // A root hub's interfaces are named after devpath 0 ("1-0:1.0").
    const std::string base = device.devpath == "0" ? std::to_string(device.bus) + "-0" : device.name;
    for (const SimAltSetting& alt : config.alternates) {
      if (alt.alternate != 0) continue;
      const std::string name = base + ":" + std::to_string(config.value) + "." + std::to_string(alt.number);
      const std::string staged = stage(interfaceAttributes(alt));
      if (staged.empty() || !publish(name, staged)) return false;
    }
  }
  const std::string staged = stage(deviceAttributes(device));
  return !staged.empty() && publish(device.name, staged);
}

void SimSysfsTree::removeDevice(const std::string& name) {
  std::error_code ec;
  const fs::path dir(devicesDir_);
  const fs::path doomed = dir / (".removing-" + std::to_string(++staging_));
  fs::rename(dir / name, doomed, ec);
  if (!ec) fs::remove_all(doomed, ec);
  const std::string prefix = name + ":";
  std::vector<fs::path> interfaces;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string entryName = entry.path().filename().string();
    if (entryName.compare(0, prefix.size(), prefix) == 0) interfaces.push_back(entry.path());
  }
  for (const fs::path& path : interfaces) {
    const fs::path gone = dir / (".removing-" + std::to_string(++staging_));
    std::error_code renameError;
    fs::rename(path, gone, renameError);
    if (!renameError) fs::remove_all(gone, renameError);
  }
}
