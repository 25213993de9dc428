#include "usbserver/usb_quirks.h"

namespace {

constexpr int kAny = -1;

struct QuirkRow {
  int vendor;
  int product;
  uint32_t quirks;
};

constexpr QuirkRow kQuirks[] = {
    {0x0424, 0x2740, USB_QUIRK_NOT_TABLED},
    {0x04b4, 0x1235, USB_QUIRK_POWER_CYCLE_ON_DISCONNECT | USB_QUIRK_FIRST_CONFIG_AT_PLUG_IN},
    {0x0d46, kAny, USB_QUIRK_UNCONFIGURE_BY_551A},
    {0x110a, 0x1151, USB_QUIRK_ALWAYS_RECONFIGURE | USB_QUIRK_CONFIG_DESCRIPTORS_FROM_DEVICE},
    {0x126f, 0x1165, USB_QUIRK_CONFIG_ONE_PRESET},
    {0x088e, 0x5036, USB_QUIRK_CONFIG_ZERO_FIRST | USB_QUIRK_NO_STRING_EE_AT_PLUG_IN},
    {0x0819, 0x0101, USB_QUIRK_CONFIG_ZERO_FIRST | USB_QUIRK_CLEAR_HALT_NOOP},
    {0x0a50, 0x0101, USB_QUIRK_CLEAR_HALT_NOOP},
    {0x1bc0, 0x8101, USB_QUIRK_NO_STRING_EE_AT_PLUG_IN | USB_QUIRK_STRING_EE_REFUSED},
    {0x0529, 0x0001, USB_QUIRK_RESET_ON_CONTROL_TIMEOUT},
    {0x1139, kAny, USB_QUIRK_RESET_AFTER_551A_GONE},
    {kAny, 0x8086, USB_QUIRK_RESET_AFTER_551A_GONE},
};

}  // namespace

uint32_t usbQuirks(int vendorId, int productId) {
  uint32_t quirks = 0;
  for (const QuirkRow& row : kQuirks) {
    if ((row.vendor == kAny || row.vendor == vendorId) && (row.product == kAny || row.product == productId)) {
      quirks |= row.quirks;
    }
  }
  return quirks;
}
