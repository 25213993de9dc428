#include "core/mac_addr.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "core/inet_addr.h"

namespace {

std::string lower(const MacAddr& mac) {
  char buffer[MacAddr::kTextSize];
  EXPECT_EQ(mac.format(buffer), 17);
  return buffer;
}

TEST(MacAddr, MulticastAddressOfAnIpv4Group) {
  struct Row { const char* group; const char* mac; };
  const Row rows[] = {
      {"224.0.0.251", "01:00:5e:00:00:fb"},
      {"239.255.1.2", "01:00:5e:7f:01:02"},
      {"224.0.1.22", "01:00:5e:00:01:16"},
      {"224.128.0.1", "01:00:5e:00:00:01"},
  };
  for (const Row& row : rows) {
    InetAddr group;
    group.parse(row.group);
    MacAddr mac;
    mac.fromIpv4Multicast(group);
    EXPECT_EQ(lower(mac), row.mac) << row.group;
  }
}

TEST(MacAddr, ParsesFullAndShortForms) {
  MacAddr mac;
  EXPECT_EQ(mac.parse("0:11:22:33:44:5"), 1);
  EXPECT_EQ(lower(mac), "00:11:22:33:44:05");
  EXPECT_EQ(mac.parse("00:11:22:33:44:05"), 0);  // same value again
  EXPECT_EQ(mac.parse("1:2:3:4"), 0);
  EXPECT_EQ(lower(mac), "00:11:22:33:44:05");
  EXPECT_EQ(mac.parse("aa:bb:cc"), 1);
  EXPECT_EQ(mac.bytes()[0], MacAddr::kVendorPrefix[0]);
  EXPECT_EQ(mac.bytes()[1], MacAddr::kVendorPrefix[1]);
  EXPECT_EQ(mac.bytes()[2], MacAddr::kVendorPrefix[2]);
  EXPECT_EQ(lower(mac).substr(9), "aa:bb:cc");
  EXPECT_EQ(mac.parse("aa:bb:cc"), 0);
  EXPECT_EQ(mac.parse("1ff:2:3:4:5:6"), 1);  // low eight bits of a field
  EXPECT_EQ(lower(mac), "ff:02:03:04:05:06");
  EXPECT_EQ(mac.parse(""), 0);
  EXPECT_EQ(mac.parse(nullptr), 0);
}

TEST(MacAddr, PrintsLowerAndUpperCase) {
  MacAddr mac({0x00, 0x1a, 0xbc, 0xde, 0xf0, 0x09});
  EXPECT_STREQ(mac.textUpper(), "00:1A:BC:DE:F0:09");
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  mac.print(stream);
  std::rewind(stream);
  char line[32] = {};
  ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
  EXPECT_STREQ(line, "00:1a:bc:de:f0:09");
  std::fclose(stream);

  MacAddr copy;
  copy.copy(mac);
  EXPECT_EQ(copy, mac);
  const std::uint8_t raw[6] = {1, 2, 3, 4, 5, 6};
  copy.fromBytes(raw);
  EXPECT_FALSE(copy == mac);
  copy.assign(mac);
  EXPECT_EQ(copy, mac);
}

TEST(MacAddr, ReadInterfaceOfAMissingDeviceIsZero) {
  MacAddr mac({1, 2, 3, 4, 5, 6});
  mac.readInterface("nosuchdev0");
  EXPECT_EQ(lower(mac), "00:00:00:00:00:00");
  mac.readInterface("lo");  // loopback has an all-zero hardware address
  EXPECT_EQ(lower(mac), "00:00:00:00:00:00");
}

}  // namespace
