#pragma once
// Builds a device model by its name: "storage" (bulk-only mass storage),
// "keyboard" (HID boot keyboard) or "key" (vendor loopback key).
#include <memory>
#include <string>

#include "sim/usb/sim_model_options.h"
#include "sim/usb/sim_usb_model.h"

// Null with *error set when the name is unknown or the disk cannot be opened.
std::unique_ptr<SimUsbModel> makeSimUsbModel(const std::string& name, const SimModelOptions& options,
                                             std::string* error);
