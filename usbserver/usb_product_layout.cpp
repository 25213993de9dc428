#include "usbserver/usb_product_layout.h"

#include "params/product.h"

namespace {

// The models of each layout, by the variant groups of the product table:
// two-port hub: one basic and one WLAN-only model; eight-port bus: one
// basic model; chained hub, three-bus and three-port bus: managed ports with
// VLANs; twenty-port: the display model; two-bus: the relay model.
constexpr UsbProductLayout kProductLayouts[] = {
    {111, UsbLayout::TwoPortHub},   {131, UsbLayout::TwoPortHub},   {121, UsbLayout::EightPortBus},
    {181, UsbLayout::ChainedHub},   {182, UsbLayout::ThreePortBus}, {183, UsbLayout::ThreePortBus},
    {184, UsbLayout::ThreeBus},     {200, UsbLayout::TwentyPort},   {210, UsbLayout::TwoBus},
};

}  // namespace

std::span<const UsbProductLayout> usbProductLayouts() { return kProductLayouts; }

UsbLayout usbLayoutOf(uint32_t number) {
  for (const UsbProductLayout& row : kProductLayouts) {
    if (row.number == number) return row.layout;
  }
  return UsbLayout::NoPortMap;
}

UsbLedScheme usbLedSchemeOf(uint32_t productId) {
  switch (variantGroupOf(productId)) {
    case VariantGroup::ManagedPorts:
    case VariantGroup::SinglePortCompression:
    case VariantGroup::ManagedPortsVlan:
    case VariantGroup::EightPortVlan:
    case VariantGroup::DisplayModel:
    case VariantGroup::RelayModel:
      return UsbLedScheme::PerPort;
    default:
      return UsbLedScheme::Common;
  }
}

bool usbFlashesActivity(uint32_t productId) {
  const UsbLayout layout = usbLayoutOf(productId);
  return layout == UsbLayout::TwentyPort || layout == UsbLayout::TwoBus;
}
