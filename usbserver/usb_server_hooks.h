#pragma once
// What the request handlers and the server tasks need beyond the device
// table: the settings they read at the time of a request, the connect event
// and port power. The application implements it over the parameters, the
// notification task and the device I/O.
#include <cstdint>
#include <string>

class UsbServerHooks {
 public:
  virtual ~UsbServerHooks() = default;
  // sys_name (at most 64 bytes are sent)
  virtual std::string sysName() const = 0;
  // wyk_tag_<port>; empty when unset or absent
  virtual std::string portTag(int port) const = 0;
  // usb_owner_<slot>
  virtual std::string slotOwner(int slot) const = 0;
  // usb_port_phy
  virtual int portCount() const = 0;
  // wyk_heartbeat in seconds, 0: no limit
  virtual int heartbeatSeconds() const = 0;
  // wyk_port and wyk_sslport (0: no listener)
  virtual int plainPort() const = 0;
  virtual int tlsPort() const = 0;
  // the feature word has port power switching (0x8000)
  virtual bool portPowerSwitching() const = 0;
  // 0 when the port's power is on and not held off
  virtual int portPowerOffState(int port) const = 0;
  // switches the power of port index 0..19 off for `ticks`
  virtual void powerOffPort(int portIndex, int64_t ticks) = 0;
  // the connect event: port parameters, notification, relay and LED
  virtual void onUsbDeviceConnected(int index, const std::string& clientName) = 0;
  // the disconnect event of a device a client gave back or left behind
  virtual void onUsbDeviceDisconnected(int index) = 0;
  // the device I/O finished its start-up (port power is on)
  virtual bool devicesStarted() const = 0;
};
