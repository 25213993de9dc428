#pragma once
// A client's transfer request as the transfer engine takes it, and the
// source of its OUT data. The front end reads the request from the wire and
// hands the engine a source that reads the data that follows it.
#include <cstddef>
#include <cstdint>

#include "usbserver/usb_status.h"

struct UrbRequest {
  uint32_t requestWord = 0;  // bytes 0-3 of the request header (byte 3: echo)
  uint32_t tag = 0;          // bytes 8-11 of the request header, as received
  int index = 0;             // table index
  int port = 0;
  uint8_t endpoint = 0;  // bit 7 set: IN
  uint8_t type = 0;      // 0 isochronous, 1 interrupt, 2 control, 3 bulk
  uint32_t inLength = 0;
  uint32_t outLength = 0;

  bool isIn() const { return (endpoint & 0x80) != 0; }
  uint32_t transferLength() const { return isIn() ? inLength : outLength; }
};

class UrbDataSource {
 public:
  virtual ~UrbDataSource() = default;
  // Reads exactly n bytes of the request's data (waiting at most the
  // payload time-out); false when fewer arrived.
  virtual bool read(void* buffer, size_t n) = 0;
  // Reads and drops n bytes; false when fewer arrived.
  virtual bool drain(size_t n) = 0;
};

// What a request handler answers: a result to send now (or
// USB_ST_PENDING: completions answer later), and whether the client's
// stream lost its framing, so that the connection must end after the reply.
struct UrbOutcome {
  UsbResult result;
  bool endConnection = false;
};
