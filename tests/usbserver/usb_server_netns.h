#pragma once
// The whole USB server in a network namespace pair: the simulated usbfs
// with device models, the real parameter tables, the server's tasks inside,
// and protocol clients (the independent client library) in the peer
// namespace, over TCP or TLS.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/interface_view.h"
#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product_info.h"
#include "sim/usb/sim_model_options.h"
#include "sim/usb/sim_usb_host.h"
#include "tests/support/netns.h"
#include "tests/support/temp_root.h"
#include "tools/usbclient/usb_client.h"
#include "usbserver/usb_port_events.h"
#include "usbserver/usb_server.h"

namespace usbtest {

constexpr int kPlainPort = 9200;
constexpr int kTlsPort = 9443;

// eth0 of the inside namespace, untagged only.
class Eth0View : public InterfaceView {
 public:
  const char* deviceName() const override { return "eth0"; }
  InetAddr address(int vlanId) const override;
  InetAddr vlanAddress(int vlanIndex) const override;
  // VLAN index -> VLAN id (the device eth0.<id> of the namespace pair)
  std::map<int, int> vlanIds;
};

// Port LEDs and power as a journal of counts.
class CountingOutputs : public UsbPortOutputs {
 public:
  void setPortLed(int, int, int) override {}
  void setPortPower(int portIndex, bool on) override;
  void beep(int) override {}
  bool cardPresence(int&) override { return false; }
  void signalAddress(bool) override {}
  void flashActivity() override { flashes_.fetch_add(1); }
  int powerOffs() const { return powerOffs_.load(); }
  int flashes() const { return flashes_.load(); }

 private:
  std::atomic<int> powerOffs_{0};
  std::atomic<int> flashes_{0};
};

enum class Link { Tcp, Tls };
const char* linkName(Link link);

class UsbServerNetns : public ::testing::Test {
 protected:
  // The display model's twenty-port layout (40 entries) with `ports`
  // physical ports: devpath 1.n is port n.
  // vlans: the VLAN devices eth0.N of the namespace pair.
  explicit UsbServerNetns(int ports = 2, std::vector<int> vlans = {});
  void SetUp() override;
  void TearDown() override;

  void startServer();
  // A client connected from the peer namespace; null when no connection
  // could be made within a few seconds.
  std::unique_ptr<usbclient::UsbClient> connectClient(Link link, int timeoutMs = 5000,
                                                      const std::string& host = NetnsPair::kInsideAddress);
  // Plugs a model at devpath 1.<port>; the device's sysfs name.
  std::string plug(const std::string& model, int port, SimModelOptions options = {});
  // The device list entry of `port`, after waiting for the scan to see it.
  bool findDevice(usbclient::UsbClient& client, int port, usbclient::DeviceRef& out);

  NetnsPair net_;
  TempRoot root_;
  std::unique_ptr<SimUsbHost> host_;
  ParamTable params_;
  std::unique_ptr<Parameters> parameters_;
  ProductInfo product_;
  Eth0View eth0_;
  CountingOutputs outputs_;
  std::unique_ptr<UsbServer> server_;
};

}  // namespace usbtest
