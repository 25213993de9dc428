// Listeners on real devices inside a network namespace pair (needs root):
// one per interface and VLAN, and TLS handshakes on the serving tasks, so
// that a silent client never holds up the listener.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/byte_buffer.h"
#include "core/interface_view.h"
#include "core/paths.h"
#include "core/stream_connection.h"
#include "core/task.h"
#include "tests/core/tls_test_support.h"
#include "tests/support/netns.h"
#include "tests/support/temp_root.h"
#include "tests/support/test_task.h"

using namespace tlstest;

namespace {

using Clock = std::chrono::steady_clock;

InetAddr address(const std::string& text, int port = 0) {
  InetAddr value;
  value.parse(text.c_str());
  value.setPort(static_cast<uint16_t>(port));
  return value;
}

// eth0 of the fixture: VLAN index 3 is the port VLAN on eth0.5, index 5 the
// management VLAN on eth0.7.
class Eth0 : public InterfaceView {
 public:
  const char* deviceName() const override { return "eth0"; }
  InetAddr address(int vlanId) const override {
    return ::address(vlanId < 0 ? NetnsPair::kInsideAddress : NetnsPair::vlanInsideAddress(vlanId));
  }
  InetAddr vlanAddress(int vlanIndex) const override {
    if (vlanIndex == 3) return ::address(NetnsPair::vlanInsideAddress(5));
    if (vlanIndex == 5) return ::address(NetnsPair::vlanInsideAddress(7));
    return kIpv4AnyAddress;
  }
};

// A product with four USB ports: port VLAN 3 on (id 5), 2 off, 4 on
// without an id; the management VLAN (id 7) as the test sets it.
class Settings : public ListenerSettings {
 public:
  bool management = true;
  int usbPortCount() const override { return 4; }
  VlanSwitch portVlan(int index) const override {
    switch (index) {
      case 2: return {false, 6};
      case 3: return {true, 5};
      case 4: return {true, -1};
      default: return {};
    }
  }
  VlanSwitch managementVlan() const override { return {management, 7}; }
  int tcpMaxSegment() const override { return 1200; }
};

// A client socket of the peer namespace, connected at construction.
int connectFromPeer(const std::string& to, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  InetAddr target = address(to, port);
  if (::connect(fd, target.sockaddrPtr(), target.length()) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class StreamNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_TRUE(net_.ok()) << net_.error();
    net_.enterInside();
  }
  NetnsPair net_{{5, 7}};
  Eth0 eth0_;
  Settings settings_;
};

TEST_F(StreamNetns, ListenersPerInterfaceAndVlan) {
  std::unique_ptr<StreamConnection> untagged = createListenSocket(nullptr, 9200, &eth0_, 0, settings_);
  ASSERT_TRUE(untagged);
  EXPECT_EQ(untagged->family(), AF_INET6);
  EXPECT_EQ(untagged->vlanId(), -1);
  EXPECT_EQ(untagged->state(), kStateListening);
  int segment = 0;
  socklen_t length = sizeof segment;
  ASSERT_EQ(::getsockopt(untagged->descriptor(), IPPROTO_TCP, TCP_MAXSEG, &segment, &length), 0);
  EXPECT_GT(segment, 0);
  EXPECT_LE(segment, 1200);

  std::unique_ptr<StreamConnection> port = createListenSocket(nullptr, 9200, &eth0_, 3, settings_);
  ASSERT_TRUE(port);
  EXPECT_EQ(port->family(), AF_INET);
  EXPECT_EQ(port->vlanId(), 5);
  EXPECT_STREQ(port->local().text(), NetnsPair::vlanInsideAddress(5).c_str());

  std::unique_ptr<StreamConnection> management = createListenSocket(nullptr, 9200, &eth0_, 5, settings_);
  ASSERT_TRUE(management);
  EXPECT_EQ(management->vlanId(), 7);
  EXPECT_STREQ(management->local().text(), NetnsPair::vlanInsideAddress(7).c_str());

  EXPECT_FALSE(createListenSocket(nullptr, 9201, &eth0_, 2, settings_));  // switched off
  EXPECT_FALSE(createListenSocket(nullptr, 9201, &eth0_, 4, settings_));  // no id
  EXPECT_FALSE(createListenSocket(nullptr, 0, &eth0_, 0, settings_));
  EXPECT_FALSE(createListenSocket(nullptr, 9201, nullptr, 0, settings_));
  settings_.management = false;
  EXPECT_FALSE(createListenSocket(nullptr, 9201, &eth0_, 5, settings_));

  // One client on each network reaches its own listener.
  int clients[3] = {-1, -1, -1};
  net_.runInPeer([&] {
    clients[0] = connectFromPeer(NetnsPair::kInsideAddress, 9200);
    clients[1] = connectFromPeer(NetnsPair::vlanInsideAddress(5), 9200);
    clients[2] = connectFromPeer(NetnsPair::vlanInsideAddress(7), 9200);
  });
  for (int fd : clients) ASSERT_GE(fd, 0);
  std::unique_ptr<StreamConnection> fromLan = untagged->acceptSession();
  ASSERT_TRUE(fromLan);
  EXPECT_STREQ(fromLan->peer().text(), "::ffff:198.18.0.2");
  EXPECT_EQ(fromLan->peer().ipv4Word(), address(NetnsPair::kPeerAddress).ipv4Word());
  std::unique_ptr<StreamConnection> fromPort = port->acceptSession();
  ASSERT_TRUE(fromPort);
  EXPECT_STREQ(fromPort->peer().text(), NetnsPair::vlanPeerAddress(5).c_str());
  std::unique_ptr<StreamConnection> fromManagement = management->acceptSession();
  ASSERT_TRUE(fromManagement);
  EXPECT_STREQ(fromManagement->peer().text(), NetnsPair::vlanPeerAddress(7).c_str());

  // Bytes go both ways on an accepted connection.
  EXPECT_EQ(fromPort->writeAll("vlan", 4, 100, false), 4);
  char reply[8] = {};
  EXPECT_EQ(::recv(clients[1], reply, sizeof reply, 0), 4);
  EXPECT_STREQ(reply, "vlan");
  for (int fd : clients) ::close(fd);
}

TEST_F(StreamNetns, ASettingsChangeEndsTheAcceptAndTheListenerStays) {
  std::promise<void> listening;
  std::atomic<int> firstWasNull{-1};
  std::atomic<bool> secondAccepted{false};
  RunningTestTask listener(
      [&](TestTask& self) {
        std::unique_ptr<StreamConnection> socket = createListenSocket(&self, 9300, &eth0_, 0, settings_);
        listening.set_value();
        if (!socket) return;
        firstWasNull = socket->acceptSession() == nullptr ? 1 : 0;
        secondAccepted = socket->acceptSession() != nullptr;
      },
      MSG_PARAMS_CHANGED);
  listening.get_future().wait();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(listener.post(MSG_PARAMS_CHANGED), 0);
  for (int i = 0; i < 200 && firstWasNull < 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(firstWasNull.load(), 1);
  int client = -1;
  net_.runInPeer([&] { client = connectFromPeer(NetnsPair::kInsideAddress, 9300); });
  EXPECT_GE(client, 0);
  ASSERT_TRUE(listener.wait(std::chrono::seconds(5)));
  EXPECT_TRUE(secondAccepted.load());
  ::close(client);
}

struct HandshakeResults {
  std::mutex mutex;
  std::vector<std::pair<bool, int64_t>> handshakes;  // established, ms after the start
  Clock::time_point start = Clock::now();
  void add(bool established) {
    std::lock_guard<std::mutex> lock(mutex);
    handshakes.emplace_back(
        established,
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return handshakes.size();
  }
};

// Serves one accepted connection the way the web and USB servers do: it
// takes the connection over, runs the handshake, echoes one read.
class ServeTask : public Task {
 public:
  ServeTask(std::unique_ptr<StreamConnection> connection, std::shared_ptr<HandshakeResults> results)
      : Task("Serve"), connection_(std::move(connection)), results_(std::move(results)) {}
  void run() override {
    connection_->setOwner(this);
    bool established = connection_->tlsAccept(TlsSettings{}, 3000) == 1;
    results_->add(established);
    if (established) {
      ByteBuffer buffer;
      int n = connection_->readBuffer(&buffer, 2000);
      if (n > 0) connection_->writeAll(buffer.data(), n, 2000, false);
    }
    connection_->closeSession();
  }

 private:
  std::unique_ptr<StreamConnection> connection_;
  std::shared_ptr<HandshakeResults> results_;
};

TEST_F(StreamNetns, ASilentClientDoesNotHoldUpTheListener) {
  TempRoot root;
  std::string flash = root.makeDirs("/flash");
  ASSERT_TRUE(makeSelfSigned(flash + "/cert_srv.pem", flash + "/cert_pkey.pem", 1024, "/CN=own"));
  auto results = std::make_shared<HandshakeResults>();
  std::promise<void> listening;
  RunningTestTask listener([&](TestTask& self) {
    std::unique_ptr<StreamConnection> socket = createListenSocket(&self, 9443, &eth0_, 0, settings_);
    listening.set_value();
    if (!socket) return;
    for (int i = 0; i < 2; ++i) {
      std::unique_ptr<StreamConnection> accepted = socket->acceptSession();
      if (!accepted) return;
      auto* serve = new ServeTask(std::move(accepted), results);
      if (serve->start(65536) < 0) delete serve;
    }
  });
  listening.get_future().wait();

  int silent = -1;
  net_.runInPeer([&] { silent = connectFromPeer(NetnsPair::kInsideAddress, 9443); });
  ASSERT_GE(silent, 0);
  std::optional<OpensslProcess> client;
  net_.runInPeer([&] {
    client.emplace(std::vector<std::string>{"s_client", "-connect",
                                            std::string(NetnsPair::kInsideAddress) + ":9443",
                                            "-quiet"});
  });
  client->send("ping\n");
  EXPECT_TRUE(client->waitForOutput("ping", 20000)) << client->output();
  {
    // Served while the silent client's handshake still waits on its own task.
    std::lock_guard<std::mutex> lock(results->mutex);
    ASSERT_EQ(results->handshakes.size(), 1u);
    EXPECT_TRUE(results->handshakes[0].first);
  }
  // The silent client gives up; its handshake fails on its own task.
  ::close(silent);
  for (int i = 0; i < 1000 && results->count() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  {
    std::lock_guard<std::mutex> lock(results->mutex);
    ASSERT_EQ(results->handshakes.size(), 2u);
    EXPECT_FALSE(results->handshakes[1].first);
  }
  ASSERT_TRUE(listener.wait(std::chrono::seconds(5)));
  client.reset();
  // Let the serving tasks end before the root goes away.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace
