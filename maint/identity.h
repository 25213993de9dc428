#pragma once
// Readers of the identity files: /conf.d/product_params and
// /conf.d/firmware_params (key=value lines) and the header at the start of
// /flash/software.bin. A missing file leaves its record all zero; malformed
// lines are skipped and malformed numbers read as their leading digits.
#include "params/product_info.h"

// Zeroes the record, then fills it from /conf.d/product_params.
void readProductParams(ProductInfo& info);

// Zeroes the record, then fills it from /conf.d/firmware_params.
void readFirmwareParams(FirmwareInfo& info);

// Fills the record from the first 128 bytes of /flash/software.bin; a shorter
// or missing file leaves the record as it was.
void readSoftwareInfo(SoftwareInfo& info);

// Reads all three, in the order product, software, firmware.
void readDeviceIdentity(DeviceIdentity& identity);
