// The SNMP side of the parameter classes: the checks of the first reserve
// phase, action, commit and undo, with values of any integer width.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "param_test_root.h"
#include "params/param_classes.h"

namespace {

const Choice kModes[] = {{"off", "Off", ""}, {"dhcp", "DHCP", ""}, {"snmp", "SNMP", ""}};

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list) s.push_back(static_cast<char>(b));
  return s;
}

// A parameter that accepts every check and refuses the action, as a
// parameter whose store fails would.
class RefusingParam : public IntParam {
 public:
  RefusingParam() : IntParam("refusing", 0, Live) {}
  int setBySnmp(int phase, const SnmpValue& v, ParamTable& table) override {
    if (phase == SnmpAction) return SnmpWrongValue;
    return IntParam::setBySnmp(phase, v, table);
  }
};

struct Varbind {
  Param* param;
  SnmpValue value;
};

// Runs one SET request the way the agent library does: every phase over
// every varbind; a failed check frees all, a failed action undoes all.
int runSet(std::vector<Varbind>& request, ParamTable& table) {
  for (auto& vb : request) {
    if (int status = vb.param->setBySnmp(SnmpReserve1, vb.value, table)) {
      for (auto& f : request) f.param->setBySnmp(SnmpFree, f.value, table);
      return status;
    }
  }
  for (auto& vb : request) vb.param->setBySnmp(SnmpReserve2, vb.value, table);
  for (auto& vb : request) {
    if (int status = vb.param->setBySnmp(SnmpAction, vb.value, table)) {
      for (auto& u : request) u.param->setBySnmp(SnmpUndo, u.value, table);
      return status;
    }
  }
  for (auto& vb : request) vb.param->setBySnmp(SnmpCommit, vb.value, table);
  return SnmpNoError;
}

struct CheckCase {
  const char* what;
  Param* param;
  SnmpValue value;
  int status;
};

class ParamSnmpTest : public testing::Test {
 protected:
  ParamTestRoot root;
  ParamTable table;
  IntParam* port = table.add<IntParam>("wyk_port", 9200, 1, 65535, Reconfigure);
  IntParam* plain = table.add<IntParam>("life", 3, Live);
  OnOffParam* dhcp = table.add<OnOffParam>("ip_dhcp", true, 0);
  StringParam* name = table.add<StringParam>("sys_name", "box", 0, 16, Live);
  StringParam* pwd = table.add<StringParam>("admin_pwd", "secret12", 8, 64, Reconfigure | Masked);
  StringParam* code = table.add<StringParam>("disp_def", "DS", 2, 2, Live, isDisplayCode);
  P3List* setBy = table.add<P3List>("ip_setby", "off", kModes, ReadOnly | Live);
  P3List* byKeyword = table.add<P3List>("mode_kw", "off", kModes, Live | SnmpKeyword);
  Ip4Address* addr = table.add<Ip4Address>("ip_addr", "192.168.0.10", 0);
  Ip6Address* addr6 = table.add<Ip6Address>("ipv6_addr", "::", 0);
  MacAddress* mac = table.add<MacAddress>("hw_filter_1", Reconfigure);
  IntParam* internal = table.add<IntParam>("language_x", 1, Internal | Live);
};

TEST_F(ParamSnmpTest, FirstReserveChecks) {
  const int64_t eightByteLong = 443;  // what a 64-bit agent passes for INTEGER 443
  const CheckCase cases[] = {
      {"int ok", port, SnmpValue::ofInteger(eightByteLong), SnmpNoError},
      {"unsigned ok", port, SnmpValue::ofInteger(80, SnmpUnsigned32), SnmpNoError},
      {"int as string", port, SnmpValue::ofOctets("80"), SnmpWrongType},
      {"int as address", port, SnmpValue::ofOctets(bytes({1, 2, 3, 4}), SnmpIpAddress), SnmpWrongType},
      {"int below range", port, SnmpValue::ofInteger(0), SnmpWrongValue},
      {"int above range", port, SnmpValue::ofInteger(65536), SnmpWrongValue},
      {"int wider than 32 bits", plain, SnmpValue::ofInteger(int64_t{1} << 40), SnmpWrongLength},
      {"int without limits", plain, SnmpValue::ofInteger(-5), SnmpNoError},
      {"onoff 1", dhcp, SnmpValue::ofInteger(1), SnmpNoError},
      {"onoff 2", dhcp, SnmpValue::ofInteger(2), SnmpWrongValue},
      {"string ok", name, SnmpValue::ofOctets("host"), SnmpNoError},
      {"string as int", name, SnmpValue::ofInteger(1), SnmpWrongType},
      {"string too long", name, SnmpValue::ofOctets(std::string(17, 'a')), SnmpWrongLength},
      {"string with newline", name, SnmpValue::ofOctets("a\nb"), SnmpWrongValue},
      {"password too short", pwd, SnmpValue::ofOctets("short"), SnmpWrongLength},
      {"display code", code, SnmpValue::ofOctets("A1"), SnmpNoError},
      {"display error code", code, SnmpValue::ofOctets("E1"), SnmpWrongValue},
      {"display code length", code, SnmpValue::ofOctets("ABC"), SnmpWrongLength},
      {"list index", setBy, SnmpValue::ofInteger(2), SnmpNoError},
      {"list index beyond", setBy, SnmpValue::ofInteger(3), SnmpWrongValue},
      {"list index negative", setBy, SnmpValue::ofInteger(-1), SnmpWrongValue},
      {"list index as string", setBy, SnmpValue::ofOctets("dhcp"), SnmpWrongType},
      {"list keyword", byKeyword, SnmpValue::ofOctets("dhcp"), SnmpNoError},
      {"list unknown keyword", byKeyword, SnmpValue::ofOctets("DHCP"), SnmpWrongValue},
      {"list keyword as int", byKeyword, SnmpValue::ofInteger(1), SnmpWrongType},
      {"ipv4 ok", addr, SnmpValue::ofOctets(bytes({10, 0, 0, 1}), SnmpIpAddress), SnmpNoError},
      {"ipv4 long", addr, SnmpValue::ofOctets(bytes({10, 0, 0, 1, 5}), SnmpIpAddress), SnmpWrongLength},
      {"ipv4 short", addr, SnmpValue::ofOctets(bytes({10, 0, 0}), SnmpIpAddress), SnmpWrongLength},
      {"ipv4 as string", addr, SnmpValue::ofOctets("10.0.0.1"), SnmpWrongType},
      {"ipv6 text", addr6, SnmpValue::ofOctets("fe80::1"), SnmpNoError},
      {"ipv6 45 chars", addr6, SnmpValue::ofOctets("0000:0000:0000:0000:0000:ffff:192.168.100.200"),
       SnmpNoError},
      {"ipv6 46 chars", addr6, SnmpValue::ofOctets("0000:0000:0000:0000:0000:ffff:192.168.100.2000"),
       SnmpWrongLength},
      {"ipv6 not an address", addr6, SnmpValue::ofOctets("fe80::zz"), SnmpWrongType},
      {"ipv6 with a NUL", addr6, SnmpValue::ofOctets(std::string("fe80::1\0zz", 10)), SnmpWrongType},
      {"mac ok", mac, SnmpValue::ofOctets(bytes({0, 1, 2, 3, 4, 5})), SnmpNoError},
      {"mac short", mac, SnmpValue::ofOctets(bytes({0, 1, 2, 3, 4})), SnmpWrongLength},
      {"mac as int", mac, SnmpValue::ofInteger(5), SnmpWrongType},
      {"internal", internal, SnmpValue::ofInteger(1), SnmpNoSuchName},
  };
  for (const CheckCase& c : cases) {
    EXPECT_EQ(c.param->setBySnmp(SnmpReserve1, c.value, table), c.status) << c.what;
  }
}

TEST_F(ParamSnmpTest, HiddenParametersDoNotExist) {
  for (Param* p : table.getItems()) {
    p->addFlags(Hidden);
    SnmpValue v;
    EXPECT_FALSE(p->getBySnmp(v)) << p->name();
    EXPECT_EQ(p->setBySnmp(SnmpReserve1, SnmpValue::ofInteger(1), table), SnmpNoSuchName) << p->name();
    EXPECT_EQ(p->setBySnmp(SnmpReserve1, SnmpValue::ofOctets("x"), table), SnmpNoSuchName) << p->name();
  }
}

TEST_F(ParamSnmpTest, GetForms) {
  SnmpValue v;
  ASSERT_TRUE(port->getBySnmp(v));
  EXPECT_EQ(v.type, SnmpInteger);
  EXPECT_EQ(v.integer, 9200);
  ASSERT_TRUE(pwd->getBySnmp(v));
  EXPECT_EQ(v.type, SnmpOctetString);
  EXPECT_EQ(v.octets, "****");
  ASSERT_TRUE(name->getBySnmp(v));
  EXPECT_EQ(v.octets, "box");
  ASSERT_TRUE(setBy->getBySnmp(v));
  EXPECT_EQ(v.type, SnmpInteger);
  EXPECT_EQ(v.integer, 0);
  ASSERT_TRUE(byKeyword->getBySnmp(v));
  EXPECT_EQ(v.type, SnmpOctetString);
  EXPECT_EQ(v.octets, "off");
  ASSERT_TRUE(addr->getBySnmp(v));
  EXPECT_EQ(v.type, SnmpIpAddress);
  EXPECT_EQ(v.octets, bytes({192, 168, 0, 10}));
  ASSERT_TRUE(addr6->set("fe80::1"));
  ASSERT_TRUE(addr6->getBySnmp(v));
  EXPECT_EQ(v.octets, bytes({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  ASSERT_TRUE(mac->getBySnmp(v));
  EXPECT_EQ(v.octets, bytes({0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(internal->getBySnmp(v));
  P3List none("none", nullptr, kModes, Live);
  EXPECT_FALSE(none.getBySnmp(v));
}

TEST_F(ParamSnmpTest, UndoRestoresValueAndMark) {
  const struct {
    Param* param;
    SnmpValue value;
    std::string before;
    std::string during;
  } cases[] = {
      {port, SnmpValue::ofInteger(8080), "9200", "8080"},
      {name, SnmpValue::ofOctets("other"), "box", "other"},
      {setBy, SnmpValue::ofInteger(1), "off", "dhcp"},
      {byKeyword, SnmpValue::ofOctets("snmp"), "off", "snmp"},
      {addr, SnmpValue::ofOctets(bytes({10, 1, 2, 3}), SnmpIpAddress), "192.168.0.10", "10.1.2.3"},
      {addr6, SnmpValue::ofOctets("2001:db8::1"), "::", "2001:db8::1"},
      {mac, SnmpValue::ofOctets(bytes({0xaa, 1, 2, 3, 4, 5})), "00:00:00:00:00:00", "aa:01:02:03:04:05"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(c.param->setBySnmp(SnmpReserve1, c.value, table), SnmpNoError) << c.param->name();
    ASSERT_EQ(c.param->setBySnmp(SnmpAction, c.value, table), SnmpNoError) << c.param->name();
    EXPECT_EQ(c.param->storedText(), c.during);
    EXPECT_TRUE(c.param->isModified());
    EXPECT_EQ(c.param->setBySnmp(SnmpUndo, c.value, table), SnmpNoError);
    EXPECT_EQ(c.param->storedText(), c.before) << c.param->name();
    EXPECT_FALSE(c.param->isModified()) << c.param->name();
    // A second undo (or one without an action) changes nothing.
    EXPECT_EQ(c.param->setBySnmp(SnmpUndo, c.value, table), SnmpNoError);
    EXPECT_EQ(c.param->storedText(), c.before);
  }
}

TEST_F(ParamSnmpTest, UndoKeepsAChangePendingFromBefore) {
  ASSERT_EQ(port->set("9300"), ChangeReconfigure);
  const SnmpValue v = SnmpValue::ofInteger(8080);
  ASSERT_EQ(port->setBySnmp(SnmpAction, v, table), SnmpNoError);
  ASSERT_EQ(port->setBySnmp(SnmpUndo, v, table), SnmpNoError);
  EXPECT_EQ(port->value(), 9300);
  EXPECT_TRUE(port->isModified()) << "the web's change to 9300 must still be applied";
}

TEST_F(ParamSnmpTest, TwoValueSetWhoseSecondFailsRestoresTheFirst) {
  RefusingParam refusing;
  std::vector<Varbind> request = {
      {port, SnmpValue::ofInteger(8080)},
      {plain, SnmpValue::ofInteger(44)},
      {&refusing, SnmpValue::ofInteger(1)},
  };
  EXPECT_EQ(runSet(request, table), SnmpWrongValue);
  EXPECT_EQ(port->value(), 9200);
  EXPECT_EQ(plain->value(), 3);
  EXPECT_FALSE(port->isModified());
  EXPECT_FALSE(plain->isModified());
  EXPECT_FALSE(root.exists("/etc/params.dat")) << "nothing committed";
}

TEST_F(ParamSnmpTest, TwoTextSetWhoseSecondFailsRestoresTheFirst) {
  RefusingParam refusing;
  StringParam* other = table.add<StringParam>("sys_contact", "me", 0, 16, Live);
  std::vector<Varbind> request = {
      {name, SnmpValue::ofOctets("first")},
      {other, SnmpValue::ofOctets("second")},
      {&refusing, SnmpValue::ofInteger(1)},
  };
  EXPECT_EQ(runSet(request, table), SnmpWrongValue);
  EXPECT_EQ(name->storedText(), "box");
  EXPECT_EQ(other->storedText(), "me");
}

TEST_F(ParamSnmpTest, FailedCheckLeavesEverything) {
  std::vector<Varbind> request = {
      {port, SnmpValue::ofInteger(8080)},
      {name, SnmpValue::ofOctets(std::string(20, 'x'))},
  };
  EXPECT_EQ(runSet(request, table), SnmpWrongLength);
  EXPECT_EQ(port->value(), 9200);
  EXPECT_FALSE(port->isModified());
}

TEST_F(ParamSnmpTest, CommitAppliesAndSaves) {
  std::vector<Varbind> request = {
      {port, SnmpValue::ofInteger(8080)},
      {name, SnmpValue::ofOctets("printer")},
      {addr, SnmpValue::ofOctets(bytes({10, 0, 0, 7}), SnmpIpAddress)},
  };
  EXPECT_EQ(runSet(request, table), SnmpNoError);
  EXPECT_FALSE(port->isModified());
  EXPECT_FALSE(name->isModified());
  EXPECT_EQ(setBy->keyword(), "snmp") << "the address records who set it";
  const std::string file = root.read("/etc/params.dat");
  EXPECT_NE(file.find("    wyk_port = 8080\n"), std::string::npos) << file;
  EXPECT_NE(file.find("    sys_name = printer\n"), std::string::npos) << file;
  EXPECT_NE(file.find("     ip_addr = 10.0.0.7\n"), std::string::npos) << file;
  EXPECT_NE(file.find("    ip_setby = snmp\n"), std::string::npos) << file;
}

TEST_F(ParamSnmpTest, MaskedSetKeepsTheSecret) {
  std::vector<Varbind> request = {{pwd, SnmpValue::ofOctets("****")}};
  // "****" is shorter than the password's minimum, as on the web.
  EXPECT_EQ(runSet(request, table), SnmpWrongLength);
  StringParam* pass = table.add<StringParam>("admin_passphrase", "pp", 0, 64, Reconfigure | Masked);
  request = {{pass, SnmpValue::ofOctets("****")}};
  EXPECT_EQ(runSet(request, table), SnmpNoError);
  EXPECT_EQ(pass->storedText(), "pp");
}

TEST(ParamBaseSnmpTest, BaseClassRefuses) {
  struct Bare : Param {
    Bare() : Param("bare", 0) {}
    bool validate(std::string_view) const override { return true; }
    std::string toText() const override { return ""; }
    std::string storedText() const override { return ""; }
    bool setFromText(std::string_view) override { return true; }
    bool isSet() const override { return false; }
    bool getBySnmp(SnmpValue&) const override { return false; }
  } bare;
  ParamTable table;
  testing::internal::CaptureStdout();
  EXPECT_EQ(bare.setBySnmp(SnmpReserve1, SnmpValue(), table), SnmpNoAccess);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR: Call base Param class setBySnmp function ?!\n");
  EXPECT_EQ(bare.count(), 1);
  EXPECT_FALSE(bare.isOn());
  EXPECT_TRUE(bare.isOff());
}

}  // namespace

namespace {

TEST(ParamHashedSnmpTest, LengthIsThatOfTheHashAndUndoRestoresIt) {
  ParamTable table;
  StringParam* pwd = table.add<StringParam>("web_pwd", "", 13, 46, Reconfigure | Hashed);
  EXPECT_EQ(pwd->setBySnmp(SnmpReserve1, SnmpValue::ofOctets("secret12"), table), SnmpNoError);
  EXPECT_EQ(pwd->setBySnmp(SnmpReserve1, SnmpValue::ofOctets(std::string(33, 'a')), table),
            SnmpWrongLength);
  ASSERT_EQ(pwd->set("first123"), ChangeReconfigure);
  const std::string hash = pwd->storedText();
  pwd->takeModified();
  const SnmpValue v = SnmpValue::ofOctets("second12");
  ASSERT_EQ(pwd->setBySnmp(SnmpAction, v, table), SnmpNoError);
  EXPECT_NE(pwd->storedText(), hash);
  EXPECT_EQ(pwd->storedText().substr(0, 2), "Wj");
  ASSERT_EQ(pwd->setBySnmp(SnmpUndo, v, table), SnmpNoError);
  EXPECT_EQ(pwd->storedText(), hash);
  EXPECT_FALSE(pwd->isModified());
  SnmpValue out;
  ASSERT_TRUE(pwd->getBySnmp(out));
  EXPECT_EQ(out.octets, "****");
}

}  // namespace
