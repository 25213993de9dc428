#include "params/product.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "params/param_table.h"
#include "params/parameters.h"

namespace {

constexpr uint32_t kManagedPorts = FeatureMail | FeatureAccessControl | FeaturePortPower;
constexpr uint32_t kManagedPortsVlan = kManagedPorts | FeatureIp4Vlan;

// The product numbers of every variant group. The numbers are this
// project's own; a number that is not listed is a basic variant.
constexpr ProductVariant kProductVariants[] = {
    {121, VariantGroup::FourPortBasic, 0},
    {131, VariantGroup::WlanOnly, WirelessOnly},
    {132, VariantGroup::WlanOnly, PhyProbing},
    {141, VariantGroup::Mail, 0},
    {142, VariantGroup::Mail, 0},
    {143, VariantGroup::Mail, 0},
    {144, VariantGroup::Mail, 0},
    {145, VariantGroup::Mail, 0},
    {146, VariantGroup::Mail, 0},
    {147, VariantGroup::Mail, 0},
    {148, VariantGroup::Mail, 0},
    {151, VariantGroup::MailBeeper, 0},
    {152, VariantGroup::MailBeeper, 0},
    {161, VariantGroup::ManagedPorts, CardReader},
    {170, VariantGroup::SinglePortCompression, 0},
    {181, VariantGroup::ManagedPortsVlan, 0},
    {182, VariantGroup::ManagedPortsVlan, 0},
    {183, VariantGroup::ManagedPortsVlan, 0},
    {184, VariantGroup::ManagedPortsVlan, 0},
    {185, VariantGroup::ManagedPortsVlan, 0},
    {190, VariantGroup::EightPortVlan, 0},
    {200, VariantGroup::DisplayModel, TwoPhy},
    {210, VariantGroup::RelayModel, 0},
};

struct GroupRule {
  VariantGroup group;
  uint32_t features;     // besides FeatureWlan, which the hardware decides
  const char* model;     // named in the port fix-up message
  uint32_t minPorts;     // physical USB ports at least (0: no rule)
  uint32_t maxPorts;     // physical USB ports at most (0: no rule)
  bool hidesWifiSwitch;
};

constexpr GroupRule kGroupRules[] = {
    {VariantGroup::Basic, 0, nullptr, 0, 0, false},
    {VariantGroup::FourPortBasic, 0, "WYK21", 4, 0, false},
    {VariantGroup::WlanOnly, 0, nullptr, 0, 0, true},
    {VariantGroup::Mail, FeatureMail, nullptr, 0, 0, false},
    {VariantGroup::MailBeeper, FeatureMail | FeatureBeeper, nullptr, 0, 0, false},
    {VariantGroup::ManagedPorts, kManagedPorts, nullptr, 0, 0, false},
    {VariantGroup::SinglePortCompression, kManagedPorts | FeatureCompression, "WYK470", 0, 1, false},
    {VariantGroup::ManagedPortsVlan, kManagedPortsVlan, nullptr, 0, 0, false},
    {VariantGroup::EightPortVlan, kManagedPortsVlan, "WYK33", 8, 0, false},
    {VariantGroup::DisplayModel,
     kManagedPortsVlan | FeatureDisplay | FeatureLinkPower | FeatureBeeper | FeatureSdCard, nullptr,
     0, 0, false},
    {VariantGroup::RelayModel, kManagedPortsVlan | FeatureLinkPower | FeatureSdCard | FeatureRelay,
     nullptr, 0, 0, false},
};

const GroupRule& ruleOf(VariantGroup group) {
  for (const GroupRule& rule : kGroupRules) {
    if (rule.group == group) return rule;
  }
  return kGroupRules[0];
}

const ProductVariant* variantOf(uint32_t productId) {
  for (const ProductVariant& variant : kProductVariants) {
    if (variant.product_id == productId) return &variant;
  }
  return nullptr;
}

void correctPortCount(const GroupRule& rule, ProductInfo& product) {
  uint32_t ports = product.usb_ports_phy;
  if (rule.minPorts != 0 && ports < rule.minPorts) ports = rule.minPorts;
  if (rule.maxPorts != 0 && ports > rule.maxPorts) ports = rule.maxPorts;
  if (ports == product.usb_ports_phy) return;
  product.usb_ports_phy = ports;
  std::fprintf(stderr, "%s BugFix %s force usb_port_phy -> %d\n", "setRuntimeEnv", rule.model,
               static_cast<int>(ports));
}

// A port family member is numbered after the last '_' of its name; a name
// without a number there counts as beyond every port.
bool beyondPorts(const std::string& name, uint32_t ports) {
  const size_t underscore = name.rfind('_');
  if (underscore == std::string::npos || underscore + 1 >= name.size()) return true;
  uint64_t number = 0;
  size_t i = underscore + 1;
  if (!std::isdigit(static_cast<unsigned char>(name[i]))) return true;
  for (; i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) && number <= ports; ++i) {
    number = number * 10 + static_cast<uint64_t>(name[i] - '0');
  }
  return number > ports;
}

// The named features of the templates and hasFeature, in lookup order; a
// row without a feature bit is always present.
struct NamedFeature {
  const char* name;
  enum Rule { Always, Bit, Never } rule;
  uint32_t bit;
};
constexpr NamedFeature kNamedFeatures[] = {
    {"WYKSSL", NamedFeature::Always, 0},   {"IPTABLES", NamedFeature::Always, 0},
    {"NTP", NamedFeature::Always, 0},      {"SNMPD", NamedFeature::Always, 0},
    {"BONJOUR", NamedFeature::Always, 0},  {"WPASUP", NamedFeature::Always, 0},
    {"EMAIL", NamedFeature::Bit, FeatureMail},
    {"WLAN", NamedFeature::Bit, FeatureWlan},
    {"KVZ", NamedFeature::Always, 0},
    {"POSWITCH", NamedFeature::Bit, FeaturePortPower},
    {"ACCCTRL", NamedFeature::Bit, FeatureAccessControl},
    {"IP4VLAN", NamedFeature::Bit, FeatureIp4Vlan},
    {"TRAPS", NamedFeature::Bit, FeatureMail},
    {"UTAGS", NamedFeature::Always, 0},
    {"UCOMP", NamedFeature::Bit, FeatureCompression},
    {"SYSLOG", NamedFeature::Never, 0},
};

// The given name is a leading part of the row's name, letter case folded.
bool namesFeature(std::string_view given, std::string_view rowName) {
  if (given.size() > rowName.size()) return false;
  for (size_t i = 0; i < given.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(given[i])) != rowName[i]) return false;
  }
  return true;
}

// Formats one identity field; every field is printed as the system prints
// it, numbers as signed decimals.
struct FieldFormatter {
  std::string_view key;
  int (*format)(const void* record, char* buffer, size_t size);
};

template <auto Member, typename Record>
int decimal(const void* record, char* buffer, size_t size) {
  return std::snprintf(buffer, size, "%d", static_cast<int>(static_cast<const Record*>(record)->*Member));
}
template <auto Member>
int text(const void* record, char* buffer, size_t size) {
  return std::snprintf(buffer, size, "%s", (static_cast<const ProductInfo*>(record)->*Member).c_str());
}
int hardwareAddress(const void* record, char* buffer, size_t size) {
  const auto& a = static_cast<const ProductInfo*>(record)->hw_address;
  return std::snprintf(buffer, size, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
}

constexpr FieldFormatter kProductFields[] = {
    {"product_id", decimal<&ProductInfo::product_id, ProductInfo>},
    {"compat_id", decimal<&ProductInfo::compat_id, ProductInfo>},
    {"oem_id", decimal<&ProductInfo::oem_id, ProductInfo>},
    {"product_name", text<&ProductInfo::product_name>},
    {"product_icon", text<&ProductInfo::product_name>},
    {"default_name", text<&ProductInfo::default_name>},
    {"year", decimal<&ProductInfo::year, ProductInfo>},
    {"month", decimal<&ProductInfo::month, ProductInfo>},
    {"serial_no", decimal<&ProductInfo::serial_no, ProductInfo>},
    {"creation_time", decimal<&ProductInfo::creation_time, ProductInfo>},
    {"hw_project", decimal<&ProductInfo::hw_project, ProductInfo>},
    {"usb_ports_phy", decimal<&ProductInfo::usb_ports_phy, ProductInfo>},
    {"hw_address", hardwareAddress},
    {"hw_major", decimal<&ProductInfo::hw_major, ProductInfo>},
    {"hw_minor", decimal<&ProductInfo::hw_minor, ProductInfo>},
};

constexpr FieldFormatter kSoftwareFields[] = {
    {"compat_id", decimal<&SoftwareInfo::compat_id, SoftwareInfo>},
    {"compat_level", decimal<&SoftwareInfo::compat_level, SoftwareInfo>},
    {"version", decimal<&SoftwareInfo::version_major, SoftwareInfo>},
    {"release", decimal<&SoftwareInfo::version_minor, SoftwareInfo>},
    {"subrelease", decimal<&SoftwareInfo::version_build, SoftwareInfo>},
    {"creation_time", decimal<&SoftwareInfo::creation_time, SoftwareInfo>},
};

constexpr FieldFormatter kFirmwareFields[] = {
    {"firmware_version", decimal<&FirmwareInfo::firmware_version, FirmwareInfo>},
    {"compat_id", decimal<&FirmwareInfo::compat_id, FirmwareInfo>},
    {"compat_level", decimal<&FirmwareInfo::compat_level, FirmwareInfo>},
    {"creation_time", decimal<&FirmwareInfo::creation_time, FirmwareInfo>},
};

int formatField(std::span<const FieldFormatter> fields, const void* record, std::string_view key,
                char* buffer, size_t size) {
  for (const FieldFormatter& field : fields) {
    if (field.key == key) return field.format(record, buffer, size);
  }
  return std::snprintf(buffer, size, "%s", " -- 2Do --");
}

}  // namespace

std::span<const ProductVariant> productVariants() { return kProductVariants; }

VariantGroup variantGroupOf(uint32_t productId) {
  const ProductVariant* variant = variantOf(productId);
  return variant != nullptr ? variant->group : VariantGroup::Basic;
}

bool hasProductProperty(const ProductInfo& product, ProductProperty property) {
  const ProductVariant* variant = variantOf(product.product_id);
  return variant != nullptr && (variant->properties & property) != 0;
}

bool hasWlanHardware(const ProductInfo& product) {
  return (product.compat_id & kWlanHardwareCompatBits) != 0;
}

uint32_t featureWordOf(const ProductInfo& product) {
  const uint32_t wlan = hasWlanHardware(product) ? FeatureWlan : 0;
  return wlan | ruleOf(variantGroupOf(product.product_id)).features;
}

void setRuntimeEnv(ParamTable& table, const Parameters& parameters, ProductInfo& product) {
  const GroupRule& rule = ruleOf(variantGroupOf(product.product_id));
  const uint32_t features = featureWordOf(product);
  correctPortCount(rule, product);
  if (rule.hidesWifiSwitch) parameters.wifi->addFlags(Hidden);

  parameters.wykPortNumber->setChecked(static_cast<int32_t>(product.usb_device_ports));
  parameters.sw_features->setChecked(static_cast<int32_t>(features));
  table.setUsbPortCount(static_cast<int>(product.usb_ports_phy));

  for (Param* param : table.getItems()) {
    const uint32_t needed = param->flags() & FeatureBits;
    if (needed != 0 && (features & needed) != needed) {
      param->addFlags(Hidden);
    } else if (param->hasFlags(PortIndexed) && beyondPorts(param->name(), product.usb_ports_phy)) {
      param->addFlags(Hidden);
    }
  }
  if (product.usb_ports_phy <= 7) parameters.dailyrestart->addFlags(Hidden);
  // No product offers the syslog client.
  parameters.syslog->addFlags(Hidden);
  parameters.syslog_ipa->addFlags(Hidden);
  parameters.syslog_upo->addFlags(Hidden);
}

bool hasFeature(std::string_view name, uint32_t featureWord) {
  for (const NamedFeature& feature : kNamedFeatures) {
    if (!namesFeature(name, feature.name)) continue;
    if (feature.rule == NamedFeature::Always) return true;
    if (feature.rule == NamedFeature::Bit && (featureWord & feature.bit) != 0) return true;
  }
  return false;
}

int getProductParam(const ProductInfo& product, std::string_view key, char* buffer, size_t size) {
  return formatField(kProductFields, &product, key, buffer, size);
}

int getSoftwareParam(const SoftwareInfo& software, std::string_view key, char* buffer, size_t size) {
  return formatField(kSoftwareFields, &software, key, buffer, size);
}

int getFirmwareParam(const FirmwareInfo& firmware, std::string_view key, char* buffer, size_t size) {
  return formatField(kFirmwareFields, &firmware, key, buffer, size);
}
