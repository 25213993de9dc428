#pragma once
// Per-port access control: key proofs, device id lists, VLAN binding and the
// TLS requirement, read from the port settings at each check.
#include <cstdint>

#include "usbserver/key_proof.h"
#include "usbserver/usb_status.h"

class UsbClient;
class UsbPortSettings;

class PortAccess {
 public:
  static constexpr int kLastPort = 20;

  explicit PortAccess(const UsbPortSettings& settings) : settings_(settings) {}

  // The port passes the key check for this block (true when it needs no
  // proof).
  bool checkKeyProof(int port, int32_t nonce, const KeyProofBlock& block) const;
  // False when the port needs no key proof; otherwise true with the
  // 13-character crypt text, or the 20-byte digest.
  bool cryptKeyProof(int port, int32_t nonce, char out[14]) const;
  bool shaKeyProof(int port, int32_t nonce, uint8_t out[20]) const;
  // The port's id list admits the device of table entry `index`.
  bool checkAccessIds(int index, int port) const;
  bool isIdAllowed(int index, int port) const;
  // The connection may reach the port.
  bool checkPortVlan(int port, const UsbClient* client) const;
  bool portNeedsEncryption(int port) const;
  bool portPrereset(int port) const;

  // The checks a device list applies to a port: the key proof and the VLAN
  // binding. A connect and a foreign control request are allowed only for
  // ports that passed them in the connection's last device list.
  bool admitsListing(int port, int32_t nonce, const KeyProofBlock& block, const UsbClient& client) const;

  // Everything a connect must pass before the device is taken from a
  // current owner: the port was admitted by the client's last device list
  // (else class 3 code 19, as for a device it cannot see), the id list
  // (class 5 code 14) and the TLS requirement (class 5 code 13).
  UsbResult checkConnect(int index, int port, const UsbClient& client, bool admittedByLastList) const;

 private:
  bool needsKeyProof(int port, std::string* key) const;

  const UsbPortSettings& settings_;
};
