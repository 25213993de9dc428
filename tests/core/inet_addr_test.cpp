#include "core/inet_addr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>

namespace {

InetAddr parsed(const char* text) {
  InetAddr value;
  value.parse(text);
  return value;
}

TEST(InetAddr, KeepsTheSocketAddressLayout) {
  InetAddr value = InetAddr::ipv4(10, 1, 2, 3);
  value.setPort(8080);
  const unsigned char golden[28] = {AF_INET, 0, 0x1f, 0x90, 10, 1, 2, 3};
  EXPECT_EQ(std::memcmp(value.bytes(), golden, sizeof golden), 0);
  EXPECT_EQ(value.length(), 16u);
  const auto* in4 = reinterpret_cast<const sockaddr_in*>(value.sockaddrPtr());
  EXPECT_EQ(in4->sin_addr.s_addr, htonl(0x0a010203));
  EXPECT_EQ(in4->sin_port, htons(8080));

  value.parse("fe80::1");
  value.setPort(443);
  EXPECT_EQ(value.length(), 28u);
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(value.sockaddrPtr());
  EXPECT_EQ(in6->sin6_family, AF_INET6);
  EXPECT_EQ(in6->sin6_addr.s6_addr[0], 0xfe);
  EXPECT_EQ(in6->sin6_addr.s6_addr[15], 1);
  EXPECT_EQ(in6->sin6_port, htons(443));
}

TEST(InetAddr, ParsesNumericTexts) {
  struct Row { const char* text; int family; const char* printed; bool set; };
  const Row rows[] = {
      {"fe80::1", AF_INET6, "fe80::1", true},
      {"10.1.2.3", AF_INET, "10.1.2.3", true},
      {nullptr, AF_INET, "0.0.0.0", false},
      {"printer", AF_INET, "0.0.0.0", false},
      {"::", AF_INET6, "::", false},
      {"::1", AF_INET6, "::1", true},
      {"::ffff:10.0.0.1", AF_INET6, "::ffff:10.0.0.1", true},
      {"1.2.3.4.5", AF_INET, "0.0.0.0", false},
      {"zz::1", AF_INET6, "::", false},
      {"198.18.255.254", AF_INET, "198.18.255.254", true},
  };
  for (const Row& row : rows) {
    const InetAddr value = parsed(row.text);
    const char* label = row.text ? row.text : "(none)";
    EXPECT_EQ(value.family(), row.family) << label;
    EXPECT_STREQ(value.text(), row.printed) << label;
    EXPECT_EQ(value.isSet(), row.set) << label;
    EXPECT_EQ(value.port(), 0) << label;
  }
}

TEST(InetAddr, ClassifiesAddresses) {
  struct Row { const char* text; bool validHost; bool linkLocal; bool evenLast; };
  const Row rows[] = {
      {"192.168.1.0", false, false, true},   {"192.168.1.255", false, false, false},
      {"1.0.0.124", false, false, true},     {"192.168.1.1", true, false, false},
      {"169.254.3.4", true, true, true},     {"169.255.3.4", true, false, true},
      {"255.255.255.0", false, false, true}, {"fe80::1", true, false, false},
      {"::", true, false, false},            {"::ffff:10.0.0.0", true, false, false},
  };
  for (const Row& row : rows) {
    const InetAddr value = parsed(row.text);
    EXPECT_EQ(value.isValidHost(), row.validHost) << row.text;
    EXPECT_EQ(value.isLinkLocal(), row.linkLocal) << row.text;
    EXPECT_EQ(value.hasEvenLastOctet(), row.evenLast) << row.text;
    EXPECT_EQ(value.isIpv6(), std::strchr(row.text, ':') != nullptr) << row.text;
  }
  InetAddr other;
  other.setFamily(AF_PACKET);
  EXPECT_TRUE(other.isValidHost());
}

TEST(InetAddr, ComparesAddressesNotPorts) {
  InetAddr a = parsed("10.0.0.1");
  InetAddr b = parsed("10.0.0.1");
  a.setPort(80);
  b.setPort(443);
  EXPECT_TRUE(a.equals(b));
  EXPECT_FALSE(a.differs(b));

  const InetAddr mapped = parsed("::ffff:10.0.0.1");
  EXPECT_FALSE(a.equals(mapped));
  EXPECT_TRUE(a.differs(mapped));
  EXPECT_EQ(a.ipv4Word(), mapped.ipv4Word());
  EXPECT_EQ(a.ipv4Word(), htonl(0x0a000001));
  EXPECT_EQ(parsed("::1").ipv4Word(), 0u);
  EXPECT_EQ(parsed("::ffff:0:10.0.0.1").ipv4Word(), 0u);

  EXPECT_TRUE(parsed("fe80::1").equals(parsed("fe80::1")));
  EXPECT_FALSE(parsed("fe80::1").equals(parsed("fe80::2")));
}

TEST(InetAddr, AssignCopiesByFamily) {
  InetAddr target = parsed("2001:db8::7");
  target.setPort(9);
  InetAddr source = InetAddr::ipv4(198, 18, 0, 1);
  source.setPort(53);
  target.assign(source);
  EXPECT_EQ(target.family(), AF_INET);
  EXPECT_STREQ(target.text(), "198.18.0.1");
  EXPECT_EQ(target.port(), 53);
  // 16 bytes only: the old IPv6 tail stays where an IPv4 value does not look
  EXPECT_EQ(target.bytes()[20], 0);
  EXPECT_EQ(target.bytes()[23], 7);

  InetAddr six = parsed("2001:db8::9");
  six.setPort(7);
  target.copy(six);
  EXPECT_EQ(std::memcmp(target.bytes(), six.bytes(), 28), 0);
}

TEST(InetAddr, SetAnyAndIpv4Setters) {
  InetAddr value = parsed("2001:db8::1");
  value.setPort(99);
  value.setAny(true);
  EXPECT_EQ(value.family(), AF_INET6);
  EXPECT_EQ(value.port(), 0);
  EXPECT_FALSE(value.isSet());
  EXPECT_EQ(std::memcmp(value.bytes(), kIpv6AnyAddress.bytes(), 28), 0);
  value.setAny(false);
  EXPECT_EQ(std::memcmp(value.bytes(), kIpv4AnyAddress.bytes(), 28), 0);

  value.setPort(1234);
  value.setIpv4Octets(224, 0, 0, 251);
  EXPECT_TRUE(value.equals(kMdnsGroup));
  EXPECT_EQ(value.port(), 1234);  // other bytes untouched
  value.setIpv4Word(htonl(0xe0000116));
  EXPECT_TRUE(value.equals(kSlpGroup));
  EXPECT_STREQ(kAllHostsGroup.text(), "224.0.0.1");
  EXPECT_STREQ(kBroadcastAddress.text(), "255.255.255.255");
  EXPECT_STREQ(kIpv6AnyAddress.text(), "::");
}

TEST(InetAddr, TextFormsAndErrors) {
  char buffer[InetAddr::kTextSize];
  InetAddr unset;
  EXPECT_EQ(unset.toText(buffer), 7);
  EXPECT_STREQ(buffer, "-error-");
  EXPECT_EQ(parsed("10.20.30.40").toText(buffer), 11);
  EXPECT_STREQ(buffer, "10.20.30.40");

  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  parsed("fe80::1").print(stream);
  std::rewind(stream);
  char line[64] = {};
  ASSERT_NE(std::fgets(line, sizeof line, stream), nullptr);
  EXPECT_STREQ(line, "fe80::1");
  std::fclose(stream);
}

TEST(InetAddr, TextRotatesSixteenBuffers) {
  const InetAddr value = parsed("10.0.0.1");
  const char* first = value.text();
  std::set<const char*> seen{first};
  for (int i = 2; i <= 16; ++i) seen.insert(value.text());
  EXPECT_EQ(seen.size(), 16u);
  EXPECT_EQ(value.text(), first);  // the 17th call
}

TEST(InetAddrStress, TextBuffersAreNotSharedBetweenThreads) {
  auto worker = [](const char* text, bool* ok) {
    const InetAddr value = parsed(text);
    for (int i = 0; i < 20000; ++i) {
      const char* result = value.text();
      if (std::strcmp(result, text) != 0) *ok = false;
    }
  };
  bool ok1 = true, ok2 = true;
  std::thread a(worker, "10.0.0.1", &ok1);
  std::thread b(worker, "2001:db8::1234:5678", &ok2);
  a.join();
  b.join();
  EXPECT_TRUE(ok1);
  EXPECT_TRUE(ok2);
}

TEST(InetAddr, ResolveNumericNeverNeedsTheResolver) {
  const ResolverSettings noDns{false, false};
  InetAddr value;
  value.setPort(25);
  EXPECT_EQ(value.resolve("192.168.1.10", noDns), 1);
  EXPECT_STREQ(value.text(), "192.168.1.10");
  EXPECT_EQ(value.port(), 0);  // assign copies the whole scratch value
  EXPECT_EQ(value.resolve("2001:db8::5", noDns), 1);
  EXPECT_STREQ(value.text(), "2001:db8::5");

  value.parse("10.9.9.9");
  EXPECT_EQ(value.resolve("192.168.1.255", noDns), 0);  // not a host: goes to the lookup
  EXPECT_EQ(value.resolve("", noDns), 0);
  EXPECT_EQ(value.resolve(nullptr, noDns), 0);
  EXPECT_EQ(value.resolve("localhost", noDns), 0);
  EXPECT_STREQ(value.text(), "10.9.9.9");  // untouched without a lookup
}

TEST(InetAddr, ResolveLooksUpLocalNames) {
  // localhost comes from the hosts file: no traffic leaves the machine
  InetAddr value = parsed("2001:db8::1");
  value.setPort(110);
  ASSERT_EQ(value.resolve("localhost", ResolverSettings{true, false}), 1);
  EXPECT_EQ(value.family(), AF_INET);
  EXPECT_STREQ(value.text(), "127.0.0.1");
  EXPECT_EQ(value.port(), 110);
  for (int i = 8; i < 28; ++i) EXPECT_EQ(value.bytes()[i], 0) << i;  // no stale IPv6 tail
}

}  // namespace
