#include "tests/usbserver/usb_server_netns.h"

#include <signal.h>

#include <chrono>
#include <thread>

#include "params/int_param.h"
#include "sim/usb/sim_usb_models.h"
#include "tests/core/tls_test_support.h"
#include "tools/usbclient/transport.h"

namespace usbtest {

namespace {

InetAddr parsed(const std::string& text) {
  InetAddr value;
  value.parse(text.c_str());
  return value;
}

}  // namespace

InetAddr Eth0View::address(int vlanId) const {
  return parsed(vlanId < 0 ? NetnsPair::kInsideAddress : NetnsPair::vlanInsideAddress(vlanId));
}

InetAddr Eth0View::vlanAddress(int vlanIndex) const {
  const auto id = vlanIds.find(vlanIndex);
  return id == vlanIds.end() ? kIpv4AnyAddress : parsed(NetnsPair::vlanInsideAddress(id->second));
}

void CountingOutputs::setPortPower(int, bool on) {
  if (!on) powerOffs_.fetch_add(1);
}

const char* linkName(Link link) { return link == Link::Tls ? "TLS" : "TCP"; }

UsbServerNetns::UsbServerNetns(int ports, std::vector<int> vlans) : net_(std::move(vlans)) {
  product_.product_id = 200;
  product_.usbtable_product_id = 200;
  product_.usb_ports_phy = static_cast<uint32_t>(ports);
}

void UsbServerNetns::SetUp() {
  ::signal(SIGPIPE, SIG_IGN);
  ASSERT_TRUE(net_.ok()) << net_.error();
  net_.enterInside();
  const std::string flash = root_.makeDirs("/flash");
  ASSERT_TRUE(tlstest::makeSelfSigned(flash + "/cert_srv.pem", flash + "/cert_pkey.pem", 2048, "/CN=usbserver"));
  root_.makeDirs("/sys/bus/usb/devices");
  host_ = std::make_unique<SimUsbHost>();
  parameters_ = std::make_unique<Parameters>(params_);
  parameters_->wyk_port->setFromText(std::to_string(kPlainPort));
  parameters_->wyk_sslport->setFromText(std::to_string(kTlsPort));
}

void UsbServerNetns::TearDown() {
  server_.reset();
  host_.reset();
}

void UsbServerNetns::startServer() {
  server_ = std::make_unique<UsbServer>(*host_, outputs_, &eth0_, params_, product_, [] { return true; });
  ASSERT_GT(server_->start(), 0);
}

std::unique_ptr<usbclient::UsbClient> UsbServerNetns::connectClient(Link link, int timeoutMs,
                                                                    const std::string& host) {
  std::unique_ptr<usbclient::UsbClient> client;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!client && std::chrono::steady_clock::now() < until) {
    net_.runInPeer([&] {
      usbclient::ServerAddress address;
      address.host = host;
      address.port = static_cast<uint16_t>(link == Link::Tls ? kTlsPort : kPlainPort);
      address.tls = link == Link::Tls;
      address.timeoutMs = timeoutMs;
      std::string error;
      auto transport = usbclient::openTransport(address, error);
      if (transport) client = std::make_unique<usbclient::UsbClient>(std::move(transport), timeoutMs);
    });
    // The listener opens once the server task runs.
    if (!client) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return client;
}

std::string UsbServerNetns::plug(const std::string& model, int port, SimModelOptions options) {
  std::string error;
  auto device = makeSimUsbModel(model, options, &error);
  EXPECT_TRUE(device) << error;
  if (!device) return "";
  const std::string devpath = "1." + std::to_string(port);
  EXPECT_GT(host_->plug(1, devpath, std::move(device), SimPlugSettings{}), 0);
  return "1-" + devpath;
}

bool UsbServerNetns::findDevice(usbclient::UsbClient& client, int port, usbclient::DeviceRef& out) {
  for (int round = 0; round < 50; ++round) {
    std::vector<usbclient::DeviceEntry> list;
    usbclient::Status status;
    if (client.deviceList({}, list, status) != 0) return false;
    for (const auto& entry : list) {
      if (entry.device.port == port) {
        out = entry.device;
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

}  // namespace usbtest
