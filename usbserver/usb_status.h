#pragma once
// The outcome of a USB server operation as the client sees it: a status class
// and a code. The classes and codes are the protocol's; the operations of the
// device table and the transfer engine return them so that the request
// handlers only copy them into their reply.
#include <cstdint>

enum UsbStatus : int32_t {
  USB_ST_OK = 0,
  USB_ST_PENDING = 1,  // answered later by a transfer completion
  USB_ST_GONE = 2,
  USB_ST_ERROR = 3,
  USB_ST_DENIED = 5,
};

struct UsbResult {
  UsbStatus status = USB_ST_OK;
  int32_t code = 0;

  static constexpr UsbResult ok() { return {USB_ST_OK, 0}; }
  static constexpr UsbResult pending() { return {USB_ST_PENDING, 0}; }
  static constexpr UsbResult error(int32_t code) { return {USB_ST_ERROR, code}; }
  static constexpr UsbResult denied(int32_t code) { return {USB_ST_DENIED, code}; }
  static constexpr UsbResult gone(int32_t code) { return {USB_ST_GONE, code}; }
  bool operator==(const UsbResult&) const = default;
};
