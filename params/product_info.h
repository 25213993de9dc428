#pragma once
// The appliance's identity records: fixed at manufacture (product, firmware)
// or by the last software update. They are read once at start, before any
// task runs (maint/identity.h), adjusted once by setRuntimeEnv (the physical
// USB port count of a few variants) and read-only afterwards, so readers take
// no lock.
#include <array>
#include <cstdint>
#include <string>

// The most USB ports any variant has: the port families have this many
// members, and an identity file that claims more is clamped to it.
inline constexpr uint32_t kMaxUsbPorts = 20;

struct ProductInfo {
  uint32_t product_id = 0;
  uint32_t compat_id = 0;
  uint32_t oem_id = 0;
  std::string product_name;          // at most 127 characters
  std::string default_name;          // at most 127 characters
  std::array<uint8_t, 8> hw_address{};  // the MAC address is the first six bytes
  uint32_t network_type = 0;
  uint32_t phy0_addr = 0;
  uint32_t software_id = 0;
  uint32_t printer_ports = 0;        // port count; device_types sets it too
  uint32_t usb_device_ports = 0;     // letters U in device_types
  uint32_t card_ports = 0;           // letters C
  uint32_t serial_ports = 0;         // letters S
  uint32_t ethernet_ports = 0;       // letters E
  uint32_t usb_ports_phy = 0;        // physical USB ports, at most kMaxUsbPorts
  std::string device_types;          // at most 127 characters
  uint32_t hw_major = 0;
  uint32_t hw_minor = 0;
  uint32_t hw_project = 0;
  uint32_t year = 0;
  uint32_t month = 0;
  uint32_t serial_no = 0;
  uint32_t fpga_compat_id = 0;
  uint32_t fpga_compat_level = 0;
  uint32_t creation_time = 0;
  uint32_t gpio_hw_project = 0;
  uint32_t usbtable_product_id = 0;
};

struct FirmwareInfo {
  uint32_t compat_id = 0;
  uint32_t compat_level = 0;
  uint32_t firmware_version = 0;
  uint32_t creation_time = 0;
};

// The version words of the installed software image (its update header).
struct SoftwareInfo {
  uint32_t compat_id = 0;
  uint32_t compat_level = 0;
  uint32_t software_id = 0;
  uint32_t version_major = 0;
  uint32_t version_minor = 0;
  uint32_t version_build = 0;
  uint32_t creation_time = 0;
};

struct DeviceIdentity {
  ProductInfo product;
  FirmwareInfo firmware;
  SoftwareInfo software;
};

// The process-wide identity. Written only by start-up code before the first
// task starts; read without a lock afterwards.
inline DeviceIdentity& deviceIdentity() {
  static DeviceIdentity identity;
  return identity;
}
