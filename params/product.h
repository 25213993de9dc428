#pragma once
// The product table: which hardware variant a product number is, the feature
// word it gets, and the start-up fix-ups of the runtime environment (port
// count corrections, hiding of the parameters of missing features and ports).
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "params/product_info.h"

class ParamTable;
struct Parameters;

// Bits of the feature word (sw_features); parameters carry the same bits in
// their flag words and are hidden unless the feature word holds all of them.
inline constexpr uint32_t FeatureMail = 0x1000;            // mail and SNMP traps
inline constexpr uint32_t FeatureAccessControl = 0x2000;   // per-port access control and VLAN assignment
inline constexpr uint32_t FeatureWlan = 0x4000;
inline constexpr uint32_t FeaturePortPower = 0x8000;       // USB port power switching
inline constexpr uint32_t FeatureCompression = 0x10000;    // USB data compression
inline constexpr uint32_t FeatureIp4Vlan = 0x20000;
inline constexpr uint32_t FeatureDisplay = 0x40000;        // two-character status display
inline constexpr uint32_t FeatureLinkPower = 0x80000;      // link and power monitoring
inline constexpr uint32_t FeatureBeeper = 0x100000;
inline constexpr uint32_t FeatureSdCard = 0x200000;
inline constexpr uint32_t FeatureRelay = 0x400000;

// Compatibility-id bits of boards with WLAN hardware.
inline constexpr uint32_t kWlanHardwareCompatBits = 0x4405A02;

enum class VariantGroup {
  Basic,                  // every product number not listed below
  FourPortBasic,          // model WYK21: at least 4 physical USB ports
  WlanOnly,               // the wifi switch is hidden
  Mail,
  MailBeeper,
  ManagedPorts,           // mail, access control, port power
  SinglePortCompression,  // model WYK470: at most 1 physical USB port
  ManagedPortsVlan,       // managed ports with IPv4 VLANs
  EightPortVlan,          // model WYK33: at least 8 physical USB ports
  DisplayModel,
  RelayModel,
};

// Properties of single products that the start-up and supervision code acts
// on (beside the feature word).
enum ProductProperty : uint32_t {
  WirelessOnly = 0x1,  // no wait for a wired link; the link always reads up
  PhyProbing = 0x2,    // the wired link is awaited only when a PHY answers
  TwoPhy = 0x4,        // two PHYs; the wired wait polls the running flag
  CardReader = 0x8,    // the supervision loop watches the memory-card slot
};

struct ProductVariant {
  uint32_t product_id;
  VariantGroup group;
  uint32_t properties;  // ProductProperty bits
};

// Every product number that is not a basic variant.
std::span<const ProductVariant> productVariants();

VariantGroup variantGroupOf(uint32_t productId);
bool hasProductProperty(const ProductInfo& product, ProductProperty property);
bool hasWlanHardware(const ProductInfo& product);

// The feature word of a product: its group's features, plus FeatureWlan on
// WLAN hardware.
uint32_t featureWordOf(const ProductInfo& product);

// Corrects the physical USB port count of the models that need it (printing
// each correction on stderr), sets wykPortNumber and sw_features, and hides
// every parameter of a missing feature or port, dailyrestart below 8 ports,
// the wifi switch of WLAN-only products and the syslog client. Runs once at
// start, right after the parameter file was loaded.
void setRuntimeEnv(ParamTable& table, const Parameters& parameters, ProductInfo& product);

// Whether a named feature ("EMAIL", "WLAN", ...; letter case ignored; a
// leading part of a name matches) is present under a feature word.
bool hasFeature(std::string_view name, uint32_t featureWord);

// Template lookups of the identity records by key: format the value into the
// buffer (bounded by size) and return the length snprintf reports. An unknown
// key gives " -- 2Do --".
int getProductParam(const ProductInfo& product, std::string_view key, char* buffer, size_t size);
int getSoftwareParam(const SoftwareInfo& software, std::string_view key, char* buffer, size_t size);
int getFirmwareParam(const FirmwareInfo& firmware, std::string_view key, char* buffer, size_t size);
