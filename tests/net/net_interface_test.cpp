#include "net/net_interface.h"

#include <linux/if_vlan.h>
#include <linux/sockios.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/linux_vlan_driver.h"
#include "tests/net/fake_phy.h"

namespace {

constexpr uint16_t kLink = 0x400;

class NullVlans : public VlanDriver {
 public:
  int add(const char*, int) override { return 0; }
  int remove(const char*) override { return 0; }
};

struct Interface {
  explicit Interface(NetBoard board) : net(phy, vlans, board) { net.setName("eth0"); }
  FakePhy phy;
  NullVlans vlans;
  NetInterface net;
};

TEST(NetInterfaceDeviceName, FollowsTheVlanAndAliasRanges) {
  struct Row { int vlan; int alias; const char* expected; };
  const Row rows[] = {
      {-1, -1, "eth0"},    {12, -1, "eth0.12"},   {12, 0, "eth0.12:0"},
      {-1, 1, "eth0:1"},   {4096, -1, "eth0.4096"}, {4097, -1, "eth0"},
      {-5, 99, "eth0:99"}, {0, 100, "eth0.0"},
  };
  Interface board({});
  for (const Row& row : rows) {
    char name[NetInterface::kDeviceNameSize];
    const int length = board.net.deviceName(name, row.vlan, row.alias);
    EXPECT_STREQ(name, row.expected) << row.vlan << "/" << row.alias;
    EXPECT_EQ(length, static_cast<int>(std::strlen(row.expected)));
  }
}

TEST(NetInterfaceLink, MaskComesFromThePhyStatusRegisters) {
  struct Row {
    const char* what;
    NetBoard board;
    uint16_t phy0Status;
    uint16_t phyZeroStatus;
    bool up;
    int mask;
  };
  const Row rows[] = {
      {"single PHY at 4, link", {4, 4, false, false}, kLink, 0, true, 0x10},
      {"single PHY at 4, no link", {4, 4, false, false}, 0, 0, false, 0},
      {"two PHYs, both up", {4, 4, false, true}, kLink, kLink, true, 0x11},
      {"two PHYs, only port 0", {4, 4, false, true}, 0, kLink, true, 0x01},
      {"PHY address 32 gives no bit", {32, 4, false, false}, kLink, 0, false, 0},
  };
  for (const Row& row : rows) {
    Interface board(row.board);
    board.phy.registers[{row.board.phy0Addr, 17}] = row.phy0Status;
    if (row.board.phy0Addr != 0) board.phy.registers[{0, 17}] = row.phyZeroStatus;
    int mask = -1;
    EXPECT_EQ(board.net.linkUp(&mask), row.up) << row.what;
    EXPECT_EQ(mask, row.mask) << row.what;
  }
}

TEST(NetInterfaceLink, WirelessOnlyIsAlwaysUpAndLeavesTheMask) {
  Interface board({4, 4, true, false});
  int mask = 77;
  EXPECT_TRUE(board.net.linkUp(&mask));
  EXPECT_EQ(mask, 77);
  EXPECT_EQ(board.phy.reads, 0);
}

TEST(NetInterfaceLink, AFailedReadReleasesThePhyLock) {
  Interface board({4, 4, false, false});
  board.phy.failing[{4, 17}] = true;
  int mask = 55;
  EXPECT_FALSE(board.net.linkUp(&mask));
  EXPECT_EQ(mask, 55);
  board.phy.failing.clear();
  board.phy.registers[{4, 17}] = kLink;
  EXPECT_TRUE(board.net.linkUp(&mask));
  EXPECT_EQ(mask, 0x10);
}

TEST(NetInterfacePhyProbe, AnswersWhenTheLoopbackBitRoundTrips) {
  Interface answering({4, 4, false, false});
  answering.phy.registers[{4, 0}] = 0x1000;
  EXPECT_TRUE(answering.net.probePhy());
  EXPECT_EQ((answering.phy.registers[{4, 0}]), 0x1000) << "control register restored";

  Interface deaf({4, 4, false, false});
  deaf.phy.ignoreWrites = true;
  EXPECT_FALSE(deaf.net.probePhy());

  Interface failing({4, 4, false, false});
  failing.phy.failing[{4, 0}] = true;
  EXPECT_FALSE(failing.net.probePhy());
}

TEST(NetInterfaceNetmask, OddLastOctetIsRefusedWithoutARequest) {
  Interface board({});
  InetAddr mask;
  mask.parse("255.255.255.255");
  EXPECT_EQ(board.net.setNetmask(mask), 0);
}

TEST(NetInterfaceVlan, IdsAboveTheRangeAreRefused) {
  Interface board({});
  EXPECT_EQ(board.net.addVlan(4097), 0);
  EXPECT_EQ(board.net.addVlan(-1), 0);
}

TEST(LinuxVlanDriver, IssuesTheKernelVlanRequests) {
  struct Call { unsigned long request; int cmd; std::string device; int vid; };
  std::vector<Call> calls;
  LinuxVlanDriver driver([&calls](int, unsigned long request, void* argument) {
    const auto* args = static_cast<const vlan_ioctl_args*>(argument);
    calls.push_back({request, args->cmd, args->device1, args->cmd == ADD_VLAN_CMD ? args->u.VID : -1});
    return 0;
  });
  EXPECT_EQ(driver.add("eth0", 12), 1);
  EXPECT_EQ(driver.remove("eth0.12"), 1);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].request, static_cast<unsigned long>(SIOCSIFVLAN));
  EXPECT_EQ(calls[0].cmd, ADD_VLAN_CMD);
  EXPECT_EQ(calls[0].device, "eth0");
  EXPECT_EQ(calls[0].vid, 12);
  EXPECT_EQ(calls[1].cmd, DEL_VLAN_CMD);
  EXPECT_EQ(calls[1].device, "eth0.12");
}

TEST(LinuxVlanDriver, ReportsARefusedRequest) {
  LinuxVlanDriver driver([](int, unsigned long, void*) { return -1; });
  EXPECT_EQ(driver.add("eth0", 5), 0);
}

}  // namespace
