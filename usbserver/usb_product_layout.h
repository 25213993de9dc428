#pragma once
// Which hardware USB layout, port LED scheme and activity flashing an
// appliance model has. The port map follows the product number, the table
// size and hub-level limit the USB table product id of the product
// identity; both numbers name models through one table.
#include <cstdint>
#include <span>

#include "usbserver/usb_layout.h"
#include "usbserver/usb_port_events.h"

struct ProductInfo;

struct UsbProductLayout {
  uint32_t number;  // product number, also used as USB table product id
  UsbLayout layout;
};

// Every model number that has a layout; any other number has none.
std::span<const UsbProductLayout> usbProductLayouts();

// NoPortMap for a number without a row.
UsbLayout usbLayoutOf(uint32_t number);

// Per-port LEDs on the managed-ports families, the display and the relay
// model; one common LED on every other model.
UsbLedScheme usbLedSchemeOf(uint32_t productId);

// The display and relay models flash the activity LED on every served
// transfer event.
bool usbFlashesActivity(uint32_t productId);
