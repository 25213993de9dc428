// NetInterface against the kernel, in a namespace pair: eth0 inside, peer0
// outside; eth0.5 / peer5 stand in for a VLAN device.
#include "net/net_interface.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sim/net/sim_phy_access.h"
#include "sim/net/sim_vlan_driver.h"
#include "tests/support/command.h"
#include "tests/support/netns.h"

namespace {

InetAddr address(const char* text) {
  InetAddr value;
  value.parse(text);
  return value;
}

class CountingIndicator : public AddressIndicator {
 public:
  void signalAddressSet() override { ++set; }
  void signalNoAddress() override { ++none; }
  int set = 0;
  int none = 0;
};

class NetInterfaceNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pair.ok()) << pair.error();
    pair.enterInside();
    phy = std::make_unique<SimPhyAccess>();
    vlans = std::make_unique<SimVlanDriver>();
    net = std::make_unique<NetInterface>(*phy, *vlans, NetBoard{4, 4, false, false}, &indicator);
    net->setName("eth0");
    ASSERT_TRUE(net->openSocket());
  }
  std::string ipInside(const std::string& args) {
    return runCommand("ip -n " + pair.inside() + " " + args).output;
  }

  NetnsPair pair{{5}};
  std::unique_ptr<SimPhyAccess> phy;
  std::unique_ptr<SimVlanDriver> vlans;
  CountingIndicator indicator;
  std::unique_ptr<NetInterface> net;
};

TEST_F(NetInterfaceNetns, AddressMaskAndGatewayAreWhatTheKernelShows) {
  ASSERT_EQ(net->bringUp(), 1);
  EXPECT_TRUE(net->isUp());
  EXPECT_EQ(net->setAddress(address("198.18.0.7")), 1);
  EXPECT_EQ(net->setNetmask(address("255.255.255.0")), 1);
  EXPECT_EQ(net->addRoute(0, address("198.18.0.2").ipv4Word(), 0), 1);

  EXPECT_NE(ipInside("-4 addr show dev eth0").find("inet 198.18.0.7/24"), std::string::npos)
      << ipInside("-4 addr show dev eth0");
  EXPECT_NE(ipInside("route show").find("default via 198.18.0.2 dev eth0"), std::string::npos)
      << ipInside("route show");
  InetAddr read;
  EXPECT_EQ(net->getAddress(read), 1);
  EXPECT_STREQ(read.text(), "198.18.0.7");
  EXPECT_EQ(indicator.set, 1);

  EXPECT_EQ(net->deleteRoute(address("198.18.0.2").ipv4Word()), 1);
  EXPECT_EQ(ipInside("route show").find("default"), std::string::npos);
}

TEST_F(NetInterfaceNetns, SettingTheSameAddressAgainDoesNothing) {
  ASSERT_EQ(net->setAddress(address("198.18.0.1")), 1);  // the address it already has
  EXPECT_EQ(indicator.set + indicator.none, 0);
}

TEST_F(NetInterfaceNetns, VlanRecordsOwnTheDeviceOrAnAlias) {
  ASSERT_EQ(net->configureVlan(1, address("198.19.5.10"), address("255.255.255.0"), InetAddr(), 5), 1);
  ASSERT_EQ(net->configureVlan(2, address("198.19.5.11"), address("255.255.255.0"), InetAddr(), 5), 1);
  EXPECT_EQ(net->configureVlan(2, address("198.19.5.11"), address("255.255.255.0"), InetAddr(), 5), 0)
      << "unchanged values touch nothing";

  const std::string shown = ipInside("-4 addr show dev eth0.5");
  EXPECT_NE(shown.find("inet 198.19.5.10/24"), std::string::npos) << shown;
  EXPECT_NE(shown.find("inet 198.19.5.11/24"), std::string::npos) << shown;
  EXPECT_NE(shown.find("eth0.5:0"), std::string::npos) << "the second address is an alias";
  EXPECT_EQ(net->vlanAddress(1).alias, -1);
  EXPECT_EQ(net->vlanAddress(2).alias, 0);
  EXPECT_EQ(vlans->journal(), std::vector<std::string>{"add eth0 5"});

  EXPECT_EQ(net->removeVlanAddress(1), 1);
  EXPECT_EQ(net->removeVlanAddress(1), 0);
  EXPECT_FALSE(net->isUp("eth0.5"));
  EXPECT_EQ(vlans->journal().back(), "remove eth0.5");
}

TEST_F(NetInterfaceNetns, ACablePullClearsTheLinkMask) {
  ASSERT_EQ(net->bringUp(), 1);
  int mask = -1;
  for (int i = 0; i < 50 && !net->linkUp(&mask); ++i) usleep(20000);
  EXPECT_EQ(mask, 0x10);

  ASSERT_EQ(pair.execInPeer("ip link set peer0 down"), 0);
  for (int i = 0; i < 50 && net->linkUp(&mask); ++i) usleep(20000);
  EXPECT_FALSE(net->linkUp(&mask));
  EXPECT_EQ(mask, 0);

  ASSERT_EQ(pair.execInPeer("ip link set peer0 up"), 0);
  for (int i = 0; i < 50 && !net->linkUp(&mask); ++i) usleep(20000);
  EXPECT_EQ(mask, 0x10);

  phy->setOverride(4, SimPhyAccess::Override::Down);
  EXPECT_FALSE(net->linkUp(&mask));
}

TEST_F(NetInterfaceNetns, TheSimulatedPhyAnswersTheLoopbackProbe) {
  EXPECT_TRUE(net->probePhy());
}

}  // namespace

namespace {

TEST(SimPhyCommand, ParsesOverrides) {
  SimPhyAccess phy;
  EXPECT_TRUE(phy.command({"4", "down"}).ok);
  EXPECT_TRUE(phy.command({"0", "auto"}).ok);
  EXPECT_FALSE(phy.command({"32", "up"}).ok);
  EXPECT_FALSE(phy.command({"x", "up"}).ok);
  EXPECT_FALSE(phy.command({"1", "sideways"}).ok);
  EXPECT_FALSE(phy.command({"1"}).ok);
}

}  // namespace
