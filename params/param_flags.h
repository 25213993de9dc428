#pragma once
// The flag word every parameter carries, and the change classes that
// Param::set reports. The bits are part of the parameter tables and of the
// SNMP MIB's visibility rules, so their values never change.
#include <cstdint>

enum ParamFlag : uint32_t {
  ReadOnly = 0x00000001,     // a status value the system maintains itself
  Internal = 0x00000002,     // not reachable over SNMP, not listed
  Masked = 0x00000004,       // a secret: shown as "****", "****" keeps it
  Translated = 0x00000010,   // display text goes through the catalogue
  RuntimeOnly = 0x00000020,  // never saved; set reports no change class
  Hashed = 0x00000040,       // a stored password hash (no table uses it)
  FeatureBits = 0x00fff000,  // hidden unless the feature word holds all
  Hidden = 0x01000000,       // absent for lookup, listing, SNMP, saving
  PortIndexed = 0x02000000,  // family numbered by USB port
  SlotIndexed = 0x08000000,  // family numbered by USB device slot
  Live = 0x10000000,         // a change takes effect at once
  SnmpKeyword = 0x20000000,  // P3List over SNMP as keyword, not index
  Reconfigure = 0x40000000,  // a change needs the services to re-read
};

// The tests every SNMP operation and every save applies.
inline constexpr uint32_t HiddenOrInternal = Hidden | Internal;
inline constexpr uint32_t HiddenOrRuntime = Hidden | RuntimeOnly;

// Param::set results. A parameter with neither Live nor Reconfigure needs
// a restart of the process.
enum ChangeClass : int {
  ChangeNone = 0,
  ChangeReconfigure = 2,
  ChangeRestart = 4,
  ChangeLive = 128,
};

// The change class a successful set of a parameter with these flags reports.
constexpr int changeClassOf(uint32_t flags) {
  if (flags & HiddenOrRuntime) return ChangeNone;
  if (flags & Live) return ChangeLive;
  if (flags & Reconfigure) return ChangeReconfigure;
  return ChangeRestart;
}
