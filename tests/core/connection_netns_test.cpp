// Connection and address values on real devices, inside a network
// namespace pair (needs root).
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/byte_buffer.h"
#include "core/connection.h"
#include "core/inet_addr.h"
#include "core/interface_view.h"
#include "core/mac_addr.h"
#include "core/task_message.h"
#include "core/unique_fd.h"
#include "tests/support/netns.h"
#include "tests/support/test_task.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double threadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

InetAddr address(const std::string& text, int port = 0) {
  InetAddr value;
  value.parse(text.c_str());
  value.setPort(static_cast<std::uint16_t>(port));
  return value;
}

// eth0 of the fixture, with its VLAN devices and their configured addresses.
class FixtureInterface : public InterfaceView {
 public:
  const char* deviceName() const override { return "eth0"; }
  InetAddr address(int vlanId) const override {
    return ::address(vlanId < 0 ? NetnsPair::kInsideAddress : NetnsPair::vlanInsideAddress(vlanId));
  }
  InetAddr vlanAddress(int vlanIndex) const override {
    return vlanIndex == 5 ? ::address(NetnsPair::vlanInsideAddress(5)) : kIpv4AnyAddress;
  }
};

// A plain UDP socket of the peer namespace, written without Connection.
class PeerUdp {
 public:
  explicit PeerUdp(const std::string& bindAddress, int port = 0)
      : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const InetAddr local = address(bindAddress, port);
    EXPECT_EQ(::bind(fd_.get(), local.sockaddrPtr(), local.length()), 0) << bindAddress;
  }
  void sendTo(const InetAddr& to, const std::string& text) {
    EXPECT_EQ(::sendto(fd_.get(), text.data(), text.size(), 0, to.sockaddrPtr(), to.length()),
              static_cast<ssize_t>(text.size()));
  }
  // "" after timeoutMs without a datagram
  std::string receive(int timeoutMs) {
    pollfd watched{fd_.get(), POLLIN, 0};
    if (::poll(&watched, 1, timeoutMs) != 1) return "";
    char buffer[2048];
    const ssize_t got = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
  }
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

class ConnectionNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(net_.ok()) << net_.error();
    net_.enterInside();
  }
  // runs fn in the peer namespace on its own thread while the test goes on
  std::thread inPeer(std::function<void()> fn) {
    return std::thread([this, fn] { net_.runInPeer(fn); });
  }

  NetnsPair net_{{5}};
  FixtureInterface eth0_;
};

TEST_F(ConnectionNetns, UdpRoundTripWithThePeer) {
  Connection udp(nullptr, &eth0_, -1);
  ASSERT_EQ(udp.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(udp.bind(4000, false, -1), 1);
  EXPECT_STREQ(udp.local().text(), NetnsPair::kInsideAddress);
  EXPECT_EQ(udp.local().port(), 4000);
  EXPECT_EQ(udp.port(), 4000);

  std::string reply;
  std::thread peer = inPeer([&] {
    PeerUdp client(NetnsPair::kPeerAddress, 4500);
    client.sendTo(address(NetnsPair::kInsideAddress, 4000), std::string(100, 'p'));
    reply = client.receive(2000);
  });
  ByteBuffer buffer;
  EXPECT_EQ(udp.receive(&buffer, 200), 100);
  EXPECT_STREQ(udp.peer().text(), NetnsPair::kPeerAddress);
  EXPECT_EQ(udp.peer().port(), 4500);
  EXPECT_EQ(udp.sendAll("pong", 4, false), 4);
  peer.join();
  EXPECT_EQ(reply, "pong");

  InetAddr local;
  EXPECT_EQ(udp.localAddress(&local), 1);
  EXPECT_TRUE(local.equals(udp.local()));
}

TEST_F(ConnectionNetns, AnIpv6SocketSeesIpv4PeersAsMappedAddresses) {
  Connection udp(nullptr, &eth0_, -1);
  ASSERT_EQ(udp.open(AF_INET6, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(udp.bind(4006, false, -1), 1);
  std::string reply;
  std::thread peer = inPeer([&] {
    PeerUdp client(NetnsPair::kPeerAddress, 4506);
    client.sendTo(address(NetnsPair::kInsideAddress, 4006), "v4");
    reply = client.receive(2000);
  });
  ByteBuffer buffer;
  ASSERT_EQ(udp.receive(&buffer, 200), 2);
  EXPECT_EQ(udp.peer().family(), AF_INET6);
  EXPECT_STREQ(udp.peer().text(), "::ffff:198.18.0.2");
  EXPECT_EQ(udp.peer().ipv4Word(), address(NetnsPair::kPeerAddress).ipv4Word());
  EXPECT_FALSE(udp.peer().equals(address(NetnsPair::kPeerAddress)));
  EXPECT_EQ(udp.sendAll("v6", 2, false), 2);
  peer.join();
  EXPECT_EQ(reply, "v6");
}

TEST_F(ConnectionNetns, BindChoosesTheAddressByFamilyAndVlanIndex) {
  Connection six(nullptr, &eth0_, -1);
  ASSERT_EQ(six.open(AF_INET6, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(six.bind(4001, false, 3), 1);
  EXPECT_EQ(six.local().family(), AF_INET6);
  EXPECT_STREQ(six.local().text(), "::");
  EXPECT_EQ(six.local().port(), 4001);

  Connection vlan(nullptr, &eth0_, -1);
  ASSERT_EQ(vlan.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(vlan.bind(4002, false, 5), 1);
  EXPECT_STREQ(vlan.local().text(), NetnsPair::vlanInsideAddress(5).c_str());

  Connection any(nullptr, &eth0_, -1);
  ASSERT_EQ(any.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(any.bind(4003, true, -1), 1);
  EXPECT_STREQ(any.local().text(), "0.0.0.0");
  InetAddr local;
  EXPECT_EQ(any.localAddress(&local), 1);  // unset: the interface's address
  EXPECT_STREQ(local.text(), NetnsPair::kInsideAddress);

  Connection unknownVlan(nullptr, &eth0_, -1);
  ASSERT_EQ(unknownVlan.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(unknownVlan.bind(4004, false, 7), 1);
  EXPECT_STREQ(unknownVlan.local().text(), "0.0.0.0");

  Connection taken(nullptr, &eth0_, -1);
  ASSERT_EQ(taken.open(AF_INET, SOCK_STREAM, 0), 1);
  Connection second(nullptr, &eth0_, -1);
  ASSERT_EQ(second.open(AF_INET, SOCK_STREAM, 0), 1);
  ASSERT_EQ(taken.bind(4005, false, -1), 1);
  ASSERT_EQ(taken.listen(4), 1);
  EXPECT_EQ(taken.state(), kStateListening);
  EXPECT_EQ(second.bind(4005, false, -1), 0);  // in use by a listener
}

TEST_F(ConnectionNetns, ABoundSocketRefusesTrafficFromAnotherDevice) {
  Connection lan(nullptr, &eth0_, -1);
  ASSERT_EQ(lan.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(lan.bind(4010, true, -1), 1);
  ASSERT_EQ(lan.bindToInterface(), 1);
  Connection vlan(nullptr, &eth0_, 5);
  ASSERT_EQ(vlan.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(vlan.bind(4011, true, -1), 1);
  ASSERT_EQ(vlan.bindToInterface(), 1);

  std::thread peer = inPeer([&] {
    PeerUdp onLan(NetnsPair::kPeerAddress);
    PeerUdp onVlan(NetnsPair::vlanPeerAddress(5));
    onVlan.sendTo(address(NetnsPair::vlanInsideAddress(5), 4010), "wrong device");
    onLan.sendTo(address(NetnsPair::kInsideAddress, 4011), "wrong device");
    onLan.sendTo(address(NetnsPair::kInsideAddress, 4010), "lan");
    onVlan.sendTo(address(NetnsPair::vlanInsideAddress(5), 4011), "vlan");
  });
  peer.join();
  ByteBuffer buffer;
  ASSERT_EQ(lan.receive(&buffer, 100), 3);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 3), "lan");
  EXPECT_EQ(lan.receive(&buffer, 20), -1);
  ASSERT_EQ(vlan.receive(&buffer, 100), 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 4), "vlan");
  EXPECT_EQ(vlan.receive(&buffer, 20), -1);

  Connection none(nullptr, nullptr, -1);
  ASSERT_EQ(none.open(AF_INET, SOCK_DGRAM, 0), 1);
  EXPECT_EQ(none.bindToInterface(), 0);  // "NoIFace" does not exist
  Connection closed(nullptr, &eth0_, -1);
  EXPECT_EQ(closed.bindToInterface(), 0);

  const UniqueFd agentSocket(::socket(AF_INET, SOCK_DGRAM, 0));
  EXPECT_EQ(force2face(agentSocket.get(), "eth0", 5), 0);
  char device[IFNAMSIZ] = {};
  socklen_t length = sizeof device;
  ASSERT_EQ(::getsockopt(agentSocket.get(), SOL_SOCKET, SO_BINDTODEVICE, device, &length), 0);
  EXPECT_STREQ(device, "eth0.5");
  EXPECT_EQ(force2face(agentSocket.get(), "eth0", -1), 0);
  EXPECT_EQ(force2face(agentSocket.get(), "nodev", -1), -1);
  EXPECT_EQ(force2face(-1, "eth0", -1), -1);
}

TEST_F(ConnectionNetns, MulticastGroupMembership) {
  Connection mdns(nullptr, &eth0_, -1);
  ASSERT_EQ(mdns.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(mdns.bindMulticast(5353, kMdnsGroup, false), 1);
  EXPECT_STREQ(mdns.local().text(), "224.0.0.251");
  EXPECT_EQ(mdns.local().port(), 5353);
  unsigned char ttl = 0, loop = 1;
  socklen_t length = 1;
  ASSERT_EQ(::getsockopt(mdns.descriptor(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &length), 0);
  length = 1;
  ASSERT_EQ(::getsockopt(mdns.descriptor(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &length), 0);
  EXPECT_EQ(ttl, 1);
  EXPECT_EQ(loop, 0);

  Connection plain(nullptr, &eth0_, -1);
  ASSERT_EQ(plain.open(AF_INET, SOCK_DGRAM, 0), 1);
  ASSERT_EQ(plain.bindDatagram(5354, true, true, false), 1);
  EXPECT_STREQ(plain.local().text(), "0.0.0.0");
  int dontRoute = 0;
  length = sizeof dontRoute;
  ASSERT_EQ(::getsockopt(plain.descriptor(), SOL_SOCKET, SO_DONTROUTE, &dontRoute, &length), 0);
  EXPECT_EQ(dontRoute, 1);

  std::thread peer = inPeer([&] {
    PeerUdp sender(NetnsPair::kPeerAddress);
    in_addr outgoing{};
    inet_pton(AF_INET, NetnsPair::kPeerAddress, &outgoing);
    ASSERT_EQ(::setsockopt(sender.fd(), IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing), 0);
    sender.sendTo(address("224.0.0.251", 5353), "query");
  });
  peer.join();
  ByteBuffer buffer;
  ASSERT_EQ(mdns.receive(&buffer, 200), 5);
  EXPECT_STREQ(mdns.peer().text(), NetnsPair::kPeerAddress);
}

std::uint16_t ipChecksum(const std::uint8_t* header, int length) {
  std::uint32_t sum = 0;
  for (int i = 0; i < length; i += 2) sum += (header[i] << 8) | header[i + 1];
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

TEST_F(ConnectionNetns, PacketSocketSendsFramesToAHardwareAddress) {
  ASSERT_EQ(net_.execInPeer("ip link set peer0 address 02:00:00:00:00:02"), 0);
  Connection raw(nullptr, &eth0_, -1);
  const int index = raw.interfaceIndex();
  EXPECT_EQ(index, static_cast<int>(if_nametoindex("eth0")));
  ASSERT_GT(index, 0);
  ASSERT_EQ(raw.open(AF_PACKET, SOCK_DGRAM, htons(0x0800)), 1);
  const std::uint8_t peerMac[6] = {0x02, 0, 0, 0, 0, 0x02};
  ASSERT_EQ(raw.bindPacket(index, peerMac), 1);
  const auto* link = reinterpret_cast<const sockaddr_ll*>(raw.local().bytes());
  EXPECT_EQ(link->sll_family, AF_PACKET);
  EXPECT_EQ(link->sll_protocol, htons(0x0800));
  EXPECT_EQ(link->sll_ifindex, index);
  EXPECT_EQ(link->sll_halen, 6);
  EXPECT_EQ(std::memcmp(link->sll_addr, peerMac, 6), 0);

  // an IPv4 UDP datagram to the peer's port 4020, built by hand
  std::uint8_t packet[20 + 8 + 5] = {};
  packet[0] = 0x45;
  packet[3] = sizeof packet;
  packet[8] = 64;
  packet[9] = IPPROTO_UDP;
  inet_pton(AF_INET, NetnsPair::kInsideAddress, packet + 12);
  inet_pton(AF_INET, NetnsPair::kPeerAddress, packet + 16);
  const std::uint16_t checksum = ipChecksum(packet, 20);
  packet[10] = static_cast<std::uint8_t>(checksum >> 8);
  packet[11] = static_cast<std::uint8_t>(checksum);
  packet[20] = 0x0f;  // source port 4000
  packet[21] = 0xa0;
  packet[22] = 0x0f;  // destination port 4020
  packet[23] = 0xb4;
  packet[25] = 8 + 5;
  std::memcpy(packet + 28, "frame", 5);

  std::string received;
  std::atomic<bool> listening{false};
  std::thread peer = inPeer([&] {
    PeerUdp server(NetnsPair::kPeerAddress, 4020);
    listening = true;
    received = server.receive(2000);
  });
  while (!listening.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_EQ(raw.sendPacket(packet, sizeof packet, false), static_cast<int>(sizeof packet));
  peer.join();
  EXPECT_EQ(received, "frame");

  Connection unbound(nullptr, nullptr, -1);
  EXPECT_EQ(unbound.interfaceIndex(), 0);
  EXPECT_EQ(unbound.sendPacket(packet, sizeof packet, false), kResultIoError);
  EXPECT_EQ(unbound.errorKind(), kErrorTransfer);
}

TEST_F(ConnectionNetns, ConnectWaitsInPollAndServesMessages) {
  std::atomic<bool> listening{false}, done{false};
  std::thread peer = inPeer([&] {
    const UniqueFd listener(::socket(AF_INET, SOCK_STREAM, 0));
    const InetAddr at = address(NetnsPair::kPeerAddress, 4100);
    int one = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ASSERT_EQ(::bind(listener.get(), at.sockaddrPtr(), at.length()), 0);
    ASSERT_EQ(::listen(listener.get(), 4), 0);
    listening = true;
    while (!done.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  while (!listening.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));

  Connection good(nullptr, &eth0_, -1);
  ASSERT_EQ(good.open(AF_INET, SOCK_STREAM, 0), 1);
  good.setNonBlocking();
  good.peer() = address(NetnsPair::kPeerAddress, 4100);
  EXPECT_EQ(good.connect(0), 1);
  EXPECT_EQ(good.state(), kStateConnected);

  Connection refused(nullptr, &eth0_, -1);
  ASSERT_EQ(refused.open(AF_INET, SOCK_STREAM, 0), 1);
  refused.setNonBlocking();
  refused.peer() = address(NetnsPair::kPeerAddress, 4101);
  EXPECT_EQ(refused.connect(0), 0);
  EXPECT_EQ(refused.state(), kStateClosed);
  done = true;
  peer.join();

  // Nobody answers for 198.18.0.77: the connect hangs until the time-out,
  // asleep in poll and serving the owner's messages.
  std::atomic<int> result{-1};
  std::atomic<double> elapsed{0}, cpu{1};
  RunningTestTask task([&](TestTask& self) {
    Connection silent(&self, &eth0_, -1);
    ASSERT_EQ(silent.open(AF_INET, SOCK_STREAM, 0), 1);
    silent.setNonBlocking();
    silent.peer() = address("198.18.0.77", 4102);
    const double cpuBefore = threadCpuSeconds();
    const auto start = Clock::now();
    result = silent.connect(50);
    elapsed = secondsSince(start);
    cpu = threadCpuSeconds() - cpuBefore;
  });
  for (int i = 0; i < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    task.post(MSG_ADDRESS_CHANGED);
  }
  ASSERT_TRUE(task.wait());
  EXPECT_EQ(result.load(), 0);
  EXPECT_GE(elapsed.load(), 0.49);
  EXPECT_LT(elapsed.load(), 1.0);
  EXPECT_LT(cpu.load(), 0.05);
  EXPECT_EQ(task.handledTypes().size(), 3u);
}

TEST_F(ConnectionNetns, MacAddrReadsTheInterface) {
  ASSERT_EQ(net_.execInside("ip link set eth0 address 02:aa:bb:cc:dd:01"), 0);
  ASSERT_EQ(net_.execInside("ip link set eth0.5 address 02:aa:bb:cc:dd:05"), 0);
  MacAddr mac;
  mac.readInterface();
  EXPECT_STREQ(mac.textUpper(), "02:AA:BB:CC:DD:01");
  mac.readInterface("eth0.5");
  EXPECT_STREQ(mac.textUpper(), "02:AA:BB:CC:DD:05");
}

TEST_F(ConnectionNetns, FailedLookupClearsEverythingAfterTheFamily) {
  // No name server can be reached from inside the namespace; one try each.
  setenv("RES_OPTIONS", "timeout:1 attempts:1", 1);
  InetAddr value = address("2001:db8::1", 80);
  const auto start = Clock::now();
  EXPECT_EQ(value.resolve("no-such-host.invalid", ResolverSettings{true, true}), 0);
  EXPECT_LT(secondsSince(start), 30.0);
  EXPECT_EQ(value.family(), AF_INET6);
  EXPECT_FALSE(value.isSet());
  for (int i = 2; i < 28; ++i) EXPECT_EQ(value.bytes()[i], 0) << i;
}

}  // namespace
