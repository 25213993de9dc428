#pragma once
// Named handles of the parameters: USB ports and device slots.
// The USB device server: its ports, the settings of each USB port (families
// numbered by port, 1 to 20) and the data of each device slot (families
// numbered by slot, 1 to 40) that the server publishes.
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct UsbParameters {
  explicit UsbParameters(ParamTable& table);

  // TCP port of the USB device server
  IntParam* const wyk_port;
  // TLS port of the USB device server
  IntParam* const wyk_sslport;
  // seconds without a client request after which a connection ends (0 = never)
  IntParam* const wyk_heartbeat;
  // HID devices (keyboards, mice) are offered to clients too
  OnOffParam* const wyk_hid;
  // port n may be used only over TLS
  std::array<OnOffParam*, 20> const wyk_sec_;
  // free text tag of port n, reported to clients
  std::array<StringParam*, 20> const wyk_tag_;
  // reset the device on port n before a client connects it
  std::array<OnOffParam*, 20> const wyk_prereset_;
  // access control of port n: none, port key, device assignment, or both
  std::array<P3List*, 20> const wyk_accctrl_;
  // port key of port n
  std::array<StringParam*, 20> const wyk_keyval_;
  // vendor and product ids of the devices assigned to port n
  std::array<StringParam*, 20> const wyk_vendprodIDs_;
  // VLAN binding of port n: 0 any network; 1 to the port count the port VLAN of that number;
  // above the port count the untagged network only
  std::array<IntParam*, 20> const wyk_2vlan_;
  // USB data compression for port n
  std::array<OnOffParam*, 20> const wyk_comp_;
  // port n unpowered (applied at once by `resetModified`)
  std::array<OnOffParam*, 20> const wyk_poff_;
  // time port n stays unpowered after a client disconnects, in tenths of a second
  std::array<IntParam*, 20> const wyk_poffdura_;
  // USB port number of the device in device slot n
  std::array<IntParam*, 40> const usb_slot_;
  // manufacturer text of the device in slot n
  std::array<StringParam*, 40> const usb_manu_;
  // product text of the device in slot n
  std::array<StringParam*, 40> const usb_prod_;
  // serial number text of the device in slot n
  std::array<StringParam*, 40> const usb_sern_;
  // vendor id of the device in slot n, as text
  std::array<StringParam*, 40> const usb_vendid_;
  // product id of the device in slot n, as text
  std::array<StringParam*, 40> const usb_prodid_;
  // client that has the device in slot n connected
  std::array<StringParam*, 40> const usb_owner_;
};
