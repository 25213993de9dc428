#pragma once
// Vendor and product names from the USB id file (/romfs/usb.ids): vendor
// lines "vvvv  Name" and, below each, tab-indented product lines
// "\tpppp  Name".
#include <string>

struct UsbIdNames {
  std::string manufacturer;  // empty when the vendor is not listed
  std::string product;       // empty when the product is not listed
};

// Looks vendor and product up in the file at `path`; names are at most 63
// characters, lines longer than 127 characters are cut.
UsbIdNames lookupUsbIdNames(const std::string& path, int vendorId, int productId);
