#pragma once
// The USB server as the benchmark runs it: in this process, over loopback,
// with the simulated usbfs and two source-and-sink devices (one per client
// kind, so the plain and the TLS client never take a device from each
// other), on the twenty-port layout so that 41 clients are served.
#include <memory>
#include <string>

class SimUsbHost;

class BenchServer {
 public:
  // The ports of the devices the plain and the TLS client use.
  static constexpr int kPlainDevicePort = 1;
  static constexpr int kTlsDevicePort = 2;

  BenchServer();
  ~BenchServer();
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  // Builds the parameters, plugs the devices, starts the server tasks and
  // waits until the listeners accept. Empty on success, else what failed.
  std::string start();

  int plainPort() const;
  int tlsPort() const;
  // UsbSrvdPrcs tasks alive now.
  int connections() const;
  // The most clients served at once (2 x ports + 1).
  int clientLimit() const;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};
