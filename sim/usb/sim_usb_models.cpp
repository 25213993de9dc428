#include "sim/usb/sim_usb_models.h"

#include "sim/usb/sim_disk.h"
#include "sim/usb/sim_hid_keyboard.h"
#include "sim/usb/sim_loopback_key.h"
#include "sim/usb/sim_mass_storage.h"

std::unique_ptr<SimUsbModel> makeSimUsbModel(const std::string& name, const SimModelOptions& options,
                                             std::string* error) {
  if (name == "storage") {
    std::unique_ptr<SimDisk> disk;
    if (options.diskPath.empty()) {
      disk = std::make_unique<SimRamDisk>(options.diskBytes);
    } else {
      auto file = std::make_unique<SimFileDisk>(options.diskPath, options.diskBytes);
      if (!file->ok()) {
        *error = "cannot open disk " + options.diskPath;
        return nullptr;
      }
      disk = std::move(file);
    }
    return std::make_unique<SimMassStorage>(options, std::move(disk));
  }
  if (name == "keyboard") return std::make_unique<SimHidKeyboard>(options);
  if (name == "key") return std::make_unique<SimLoopbackKey>(options);
  *error = "unknown model " + name + " (storage, keyboard, key)";
  return nullptr;
}
