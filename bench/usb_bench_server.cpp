#include "bench/usb_bench_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

#include "core/interface_view.h"
#include "core/tls_session.h"
#include "core/unique_fd.h"
#include "params/int_param.h"
#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product.h"
#include "params/product_info.h"
#include "sim/usb/sim_source_sink.h"
#include "sim/usb/sim_usb_host.h"
#include "usbserver/usb_port_events.h"
#include "usbserver/usb_server.h"

namespace {

// The display model: twenty ports, a table of 40 entries, at most 41 clients.
constexpr uint32_t kProductId = 200;
constexpr uint32_t kPorts = 20;

// The listeners bind to loopback, the only device of the benchmark's
// namespace.
class LoopbackInterface : public InterfaceView {
 public:
  const char* deviceName() const override { return "lo"; }
  InetAddr address(int) const override { return InetAddr::ipv4(127, 0, 0, 1); }
  InetAddr vlanAddress(int) const override { return InetAddr(); }
};

// The device I/O of the simulated appliance as far as the benchmark needs
// it: the last LED colour and power state of each port.
class BenchPortOutputs : public UsbPortOutputs {
 public:
  void flashActivity() override {}
  void setPortLed(int portIndex, int colour, int) override {
    if (portIndex >= 0 && portIndex < int(kPorts)) leds_[portIndex] = colour;
  }
  void setPortPower(int portIndex, bool on) override {
    if (portIndex >= 0 && portIndex < int(kPorts)) power_[portIndex] = on;
  }
  void beep(int) override {}
  bool cardPresence(int&) override { return false; }
  void signalAddress(bool) override {}

 private:
  int leds_[kPorts] = {};
  bool power_[kPorts] = {};
};

bool accepts(int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return fd.get() >= 0 && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

}  // namespace

struct BenchServer::Parts {
  ParamTable params;
  Parameters parameters{params};
  ProductInfo product;
  LoopbackInterface interface;
  BenchPortOutputs outputs;
  SimUsbHost host;
  std::unique_ptr<UsbServer> server;
};

BenchServer::BenchServer() : parts_(std::make_unique<Parts>()) {}

BenchServer::~BenchServer() {
  // The server's tasks end before the host they drive goes away.
  parts_->server.reset();
}

std::string BenchServer::start() {
  Parts& p = *parts_;
  p.product.product_id = kProductId;
  p.product.usbtable_product_id = kProductId;
  p.product.usb_ports_phy = kPorts;
  setRuntimeEnv(p.params, p.parameters, p.product);
  uint32_t seed = 0;
  if (getrandom(&seed, sizeof seed, 0) != sizeof seed) return "getrandom failed";
  tlsInitOnce(seed);
  // Devices on the first hub's ports 1 and 2: physical ports 1 and 2.
  for (const char* devpath : {"1.1", "1.2"}) {
    if (p.host.plug(1, devpath, std::make_unique<SimSourceSink>(SimModelOptions{}), SimPlugSettings{}) <= 0) {
      return std::string("cannot plug the source-and-sink device at 1-") + devpath;
    }
  }
  p.server = std::make_unique<UsbServer>(p.host, p.outputs, &p.interface, p.params, p.product, [] { return true; });
  if (p.server->start() <= 0) return "the UsbSrvd task did not start";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  // Both listeners open together; the probe's connection task ends when it
  // sees the probe close.
  while (!accepts(plainPort())) {
    if (std::chrono::steady_clock::now() > deadline) return "the server does not listen on its port";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  while (connections() > 0) {
    if (std::chrono::steady_clock::now() > deadline) return "the probe's connection task does not end";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return {};
}

int BenchServer::plainPort() const { return parts_->parameters.wyk_port->value(); }
int BenchServer::tlsPort() const { return parts_->parameters.wyk_sslport->value(); }
int BenchServer::connections() const { return parts_->server ? parts_->server->connectionCount() : 0; }
int BenchServer::clientLimit() const { return 2 * static_cast<int>(parts_->product.usb_ports_phy) + 1; }
