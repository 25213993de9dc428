#include "app/slot_card_mirror.h"

#include "core/paths.h"
#include "core/util_files.h"
#include "params/int_param.h"
#include "params/param_effects.h"
#include "params/param_table.h"
#include "params/product.h"

namespace {

constexpr int kCardUsable = 3;
constexpr char kCardDir[] = "/var/slot1/";

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

bool SlotCardMirror::backsUpFlash() {
  const auto* features = params_.findAs<IntParam>("sw_features");
  const Param* autoSync = params_.find("autoSync");
  return features && (static_cast<uint32_t>(features->value()) & FeatureSdCard) && autoSync && autoSync->isOn() &&
         card_.sdCardState() == kCardUsable;
}

int SlotCardMirror::mirrorToCard(const std::string& flashPath) {
  if (!backsUpFlash()) return 0;
  const std::string copy = sysPath(std::string(kCardDir) + baseName(flashPath));
  return copyFile(sysPath(flashPath).c_str(), copy.c_str());
}
