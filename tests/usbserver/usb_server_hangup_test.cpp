// A client that hangs up ends its connection task: whether it closes before
// sending anything, after a request whose reply it read, or half-closes right
// after a request (the reply still reaches it). A task left behind would keep
// a client slot taken and spin on a socket that stays readable.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "core/interface_view.h"
#include "params/param_table.h"
#include "params/parameters.h"
#include "params/product_info.h"
#include "tests/usbserver/no_port_outputs.h"
#include "sim/usb/sim_usb_host.h"
#include "tests/support/netns.h"
#include "tests/support/temp_root.h"
#include "usbserver/usb_port_events.h"
#include "usbserver/usb_server.h"

namespace {

constexpr int kPort = 9200;

class Eth0 : public InterfaceView {
 public:
  const char* deviceName() const override { return "eth0"; }
  InetAddr address(int) const override { return InetAddr::ipv4(198, 18, 0, 1); }
  InetAddr vlanAddress(int) const override { return InetAddr(); }
};

int connectToServer() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  ::inet_pton(AF_INET, NetnsPair::kInsideAddress, &address.sin_addr);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// VERSION2 with tag 0x01020304; its reply is 32 bytes.
const uint8_t kVersion2[16] = {0, 0, 0, 0, 0, 0, 0, 27, 1, 2, 3, 4, 0, 0, 0, 0};
constexpr size_t kVersion2Reply = 32;

size_t readAll(int fd, uint8_t* buffer, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::recv(fd, buffer + got, size - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  return got;
}

bool waitFor(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class UsbServerHangup : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net_.ok()) << net_.error();
    net_.enterInside();
    root_.makeDirs("/sys/bus/usb/devices");
    product_.product_id = 200;
    product_.usbtable_product_id = 200;
    product_.usb_ports_phy = 20;
    host_ = std::make_unique<SimUsbHost>();
    server_ = std::make_unique<UsbServer>(*host_, outputs_, &eth0_, params_, product_, [] { return true; });
    ASSERT_GT(server_->start(), 0);
  }
  void TearDown() override {
    server_.reset();
    host_.reset();
  }

  NetnsPair net_;
  TempRoot root_;
  ParamTable params_;
  Parameters parameters_{params_};
  ProductInfo product_;
  Eth0 eth0_;
  NoPortOutputs outputs_;
  std::unique_ptr<SimUsbHost> host_;
  std::unique_ptr<UsbServer> server_;
};

TEST_F(UsbServerHangup, EveryKindOfHangUpEndsTheConnectionTask) {
  struct Case {
    const char* name;
    bool sendRequest;
    bool halfClose;  // shutdown(SHUT_WR) right after the request, then read
  };
  const Case cases[] = {
      {"close before any request", false, false},
      {"close after a reply", true, false},
      {"half-close after a request", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = -1;
    // The listener may still be opening: the first case retries its connect.
    ASSERT_TRUE(waitFor([&] {
      net_.runInPeer([&] { fd = connectToServer(); });
      return fd >= 0;
    }));
    ASSERT_TRUE(waitFor([&] { return server_->connectionCount() == 1; }));
    if (c.sendRequest) {
      ASSERT_EQ(::send(fd, kVersion2, sizeof kVersion2, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof kVersion2));
      if (c.halfClose) ::shutdown(fd, SHUT_WR);
      uint8_t reply[kVersion2Reply + 1];
      EXPECT_EQ(readAll(fd, reply, kVersion2Reply), kVersion2Reply);
      EXPECT_EQ(reply[7], 0x1B);
      if (c.halfClose) {
        EXPECT_EQ(::recv(fd, reply, sizeof reply, 0), 0);  // the server closed after the reply
      }
    }
    ::close(fd);
    EXPECT_TRUE(waitFor([&] { return server_->connectionCount() == 0; }));
  }
}

}  // namespace
