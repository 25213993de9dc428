// Prints the parameter file a product writes at its first start (or after
// loading a given parameter file): the identity comes from a root directory's
// /conf.d/product_params and from options, the port fix-ups of the product
// table are printed on stderr as the appliance prints them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/paths.h"
#include "maint/identity.h"
#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product.h"
#include "params/product_startup.h"

namespace {

struct Options {
  std::string root;
  std::string paramsFile;
  ProductInfo product;
  bool listProducts = false;
};

int usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--root DIR] [--product-id N] [--compat-id HEX] [--usb-ports N]\n"
               "          [--device-types LETTERS] [--params FILE] [--list-products]\n"
               "  --root DIR            read /conf.d/product_params and /etc/params.dat below DIR\n"
               "  --product-id N        product number (the product table decides the variant)\n"
               "  --compat-id HEX       compatibility id (WLAN hardware: any bit of 0x4405a02)\n"
               "  --usb-ports N         physical USB ports\n"
               "  --device-types TEXT   one letter per device port, U for a USB device port\n"
               "  --params FILE         load this parameter file instead of /etc/params.dat\n"
               "                        (an absolute FILE lies below the root directory)\n"
               "  --list-products       print the product numbers of the variant groups\n",
               program);
  return 64;
}

bool number(const char* text, int base, uint32_t& out) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, base);
  if (end == text || *end != '\0' || value > UINT32_MAX) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

bool setProductId(ProductInfo& product, const char* value) {
  return number(value, 10, product.product_id);
}
bool setCompatId(ProductInfo& product, const char* value) {
  return number(value, 16, product.compat_id);
}
bool setUsbPorts(ProductInfo& product, const char* value) {
  if (!number(value, 10, product.usb_ports_phy)) return false;
  if (product.usb_ports_phy > kMaxUsbPorts) product.usb_ports_phy = kMaxUsbPorts;
  return true;
}
bool setDeviceTypes(ProductInfo& product, const char* value) {
  product.device_types = value;
  product.usb_device_ports = 0;
  for (char letter : product.device_types) product.usb_device_ports += letter == 'U';
  return true;
}

struct IdentityOption {
  const char* flag;
  bool (*apply)(ProductInfo& product, const char* value);
};
constexpr IdentityOption kIdentityOptions[] = {
    {"--product-id", setProductId},
    {"--compat-id", setCompatId},
    {"--usb-ports", setUsbPorts},
    {"--device-types", setDeviceTypes},
};

// Identity options are applied after the root's identity file was read, so
// they override it.
bool parse(int argc, char** argv, Options& options) {
  std::vector<std::pair<const IdentityOption*, const char*>> identity;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--list-products") == 0) {
      options.listProducts = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (std::strcmp(arg, "--root") == 0) {
      options.root = value;
      continue;
    }
    if (std::strcmp(arg, "--params") == 0) {
      options.paramsFile = value;
      continue;
    }
    const auto known = std::find_if(std::begin(kIdentityOptions), std::end(kIdentityOptions),
                                    [&](const IdentityOption& o) { return std::strcmp(o.flag, arg) == 0; });
    if (known == std::end(kIdentityOptions)) return false;
    identity.emplace_back(known, value);
  }
  if (!options.root.empty()) {
    setRootDirectory(options.root);
    readProductParams(options.product);
  }
  for (const auto& [option, value] : identity) {
    if (!option->apply(options.product, value)) return false;
  }
  return true;
}

void listProducts() {
  static const char* const kGroupNames[] = {
      "basic", "four-port basic (WYK21)", "WLAN-only", "mail", "mail with beeper",
      "managed ports", "single port with compression (WYK470)", "managed ports with VLANs",
      "eight ports with VLANs (WYK33)", "display model", "relay model"};
  for (const ProductVariant& variant : productVariants()) {
    ProductInfo product;
    product.product_id = variant.product_id;
    std::printf("%4u  features 0x%06x  %s\n", variant.product_id, featureWordOf(product),
                kGroupNames[static_cast<int>(variant.group)]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) return usage(argv[0]);
  if (options.listProducts) {
    listProducts();
    return 0;
  }
  ParamTable table;
  const Parameters parameters(table);
  if (options.paramsFile.empty()) {
    loadParameters(table, parameters, options.product);
  } else {
    table.load(options.paramsFile);
    setRuntimeEnv(table, parameters, options.product);
  }
  // The file as the start-up writes it: this start counted.
  const int32_t life = parameters.life->value();
  if (life < INT32_MAX) parameters.life->setChecked(life + 1);
  const std::string text = table.fileText();
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}
