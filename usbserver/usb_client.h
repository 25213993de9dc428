#pragma once
// What the device table and the transfer engine need of a client connection.
// The connection front end implements it (its client record); the core keeps
// pointers to it as the owner of a device and the submitter of a transfer,
// and knows nothing of the wire behind it.
#include <cstddef>
#include <cstdint>

#include "usbserver/usb_status.h"

struct UrbCompletion {
  uint32_t requestWord = 0;  // bytes 0-3 of the transfer's request (byte 3: echo)
  uint32_t tag = 0;          // as received
  bool partial = false;      // more parts of an IN transfer follow
  UsbResult result;
  const uint8_t* data = nullptr;  // IN data of this part
  size_t length = 0;
};

class UsbClient {
 public:
  virtual ~UsbClient() = default;

  // Sends one transfer completion, header and IN data in one write. Runs on
  // the client's own task for every reaped part; a queued record that is
  // cancelled by a request of another connection completes on that
  // connection's task, so an implementation must accept calls from there.
  virtual void sendUrbCompletion(const UrbCompletion& completion) = 0;

  // The device (index, port) was taken from this client: it was removed,
  // another client took it over, or it vanished under a transfer. Runs on
  // whichever task noticed, under the entry's mutex; the implementation
  // hands the news to the client's own task and takes no table or entry
  // lock.
  virtual void deviceTaken(int index, int port) = 0;

  // The administrator asked that the client disconnect the device. Same
  // calling rules as deviceTaken.
  virtual void disconnectRequested(int index, int port) = 0;

  // The peer's IPv4 address (an IPv4-mapped IPv6 peer counts); false for any
  // other peer.
  virtual bool peerIpv4(uint8_t address[4]) const = 0;

  // The connection runs TLS.
  virtual bool isEncrypted() const = 0;

  // The VLAN id of the listener that accepted the connection, -1 untagged.
  virtual int vlanId() const = 0;
};
