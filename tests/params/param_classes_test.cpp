// Text access of every parameter class: validation, storing, change
// classes, modified marks and display forms.
#include <gtest/gtest.h>

#include <cctype>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "params/param_classes.h"

namespace {

struct IntCase {
  const char* text;
  int result;     // change class set reports
  int32_t value;  // value afterwards
};

TEST(IntParamTest, RangeChecksTheLeadingNumber) {
  const IntCase cases[] = {
      {"80", ChangeReconfigure, 80},
      {"0", ChangeNone, 7},
      {"65536", ChangeNone, 7},
      {"12ab", ChangeReconfigure, 12},  // letters pass the character test
      {"1.5", ChangeNone, 7},           // the dot does not
      {"-1", ChangeNone, 7},
      {"", ChangeNone, 7},
      {"4294967376", ChangeNone, 7},    // would wrap to 80 in 32 bits
      {"65535", ChangeReconfigure, 65535},
      {"1", ChangeReconfigure, 1},
  };
  for (const IntCase& c : cases) {
    IntParam p("wyk_port", 7, 1, 65535, Reconfigure);
    EXPECT_EQ(p.set(c.text), c.result) << c.text;
    EXPECT_EQ(p.value(), c.value) << c.text;
    EXPECT_EQ(p.isModified(), c.value != 7) << c.text;
  }
}

TEST(IntParamTest, WithoutLimitsStoresTheLeadingNumber) {
  const IntCase cases[] = {
      {"abc", ChangeLive, 0},
      {"  42x", ChangeLive, 42},
      {"-17", ChangeLive, -17},
      {"99999999999", ChangeLive, INT32_MAX},
      {"-99999999999", ChangeLive, INT32_MIN},
      {"1234567890123456789012345678901", ChangeNone, 5},  // above 30 characters
  };
  for (const IntCase& c : cases) {
    IntParam p("life", 5, Live);
    EXPECT_EQ(p.set(c.text), c.result) << c.text;
    EXPECT_EQ(p.value(), c.value) << c.text;
  }
}

TEST(IntParamTest, ChangeClassFollowsTheFlags) {
  const struct {
    uint32_t flags;
    int result;
  } cases[] = {
      {Live, ChangeLive},
      {Reconfigure, ChangeReconfigure},
      {0, ChangeRestart},
      {0x4000, ChangeRestart},
      {RuntimeOnly | Live, ChangeNone},
      {Hidden | Reconfigure, ChangeNone},
  };
  for (const auto& c : cases) {
    IntParam p("x", 1, c.flags);
    EXPECT_EQ(p.set("9"), c.result) << std::hex << c.flags;
    EXPECT_EQ(p.value(), 9) << "stored whatever the class";
    // An unchanged value still reports the class.
    EXPECT_EQ(p.set("9"), c.result);
  }
}

TEST(IntParamTest, SetCheckedKeepsTheLimits) {
  IntParam p("wyk_heartbeat", 180, 0, 1800, Live);
  EXPECT_FALSE(p.setChecked(1801));
  EXPECT_EQ(p.value(), 180);
  EXPECT_FALSE(p.isModified());
  EXPECT_TRUE(p.setChecked(180));
  EXPECT_FALSE(p.isModified()) << "an unchanged value is no change";
  EXPECT_TRUE(p.setChecked(0));
  EXPECT_TRUE(p.isModified());
  EXPECT_TRUE(p.takeModified());
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(p.toText(), "0");
  EXPECT_EQ(p.storedText(), "0");
}

TEST(ParamTest, SetRefusesTextsOf1025BytesOrMore) {
  StringParam p("sys_descr", "", 0, 2000, Live);
  EXPECT_EQ(p.set(std::string(1024, 'a')), ChangeLive);
  EXPECT_EQ(p.storedText().size(), 1024u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(p.set(std::string(1025, 'b')), ChangeNone);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("!PARAMS SET ILLEGAL VALUES!"),
            std::string::npos);
  EXPECT_EQ(p.storedText(), std::string(1024, 'a'));
}

TEST(OnOffParamTest, TextSetFlipsTheMark) {
  OnOffParam p("sessKeys", false, Live);
  EXPECT_TRUE(p.isOff());
  EXPECT_EQ(p.set("on"), ChangeLive);
  EXPECT_TRUE(p.isOn());
  EXPECT_TRUE(p.isModified());
  EXPECT_EQ(p.set("off"), ChangeLive);
  EXPECT_TRUE(p.isOff());
  EXPECT_FALSE(p.isModified()) << "back to the applied state before applying";
  EXPECT_EQ(p.set("off"), ChangeLive);
  EXPECT_FALSE(p.isModified());
}

TEST(OnOffParamTest, ValidateIgnoresCaseButSetDoesNot) {
  OnOffParam p("dns", false, Reconfigure);
  for (const char* text : {"on", "ON", "On", "off", "OFF", "oFf"}) EXPECT_TRUE(p.validate(text)) << text;
  for (const char* text : {"", "o", "onn", "1", "yes", " on"}) EXPECT_FALSE(p.validate(text)) << text;
  EXPECT_EQ(p.set("ON"), ChangeNone);
  EXPECT_TRUE(p.isOff());
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(p.set("on"), ChangeReconfigure);
  EXPECT_STREQ(p.yesNo(), "yes");
  EXPECT_EQ(p.toText(), "on");
  EXPECT_EQ(p.storedText(), "on");
}

struct TextCase {
  const char* name;
  int32_t minLength;
  int32_t maxLength;
  uint32_t flags;
  std::string text;
  int result;
};

TEST(StringParamTest, SetByLengthMaskAndControlCharacters) {
  const TextCase cases[] = {
      {"admin_pwd", 8, 64, Reconfigure | Masked, "", ChangeReconfigure},       // empty passes when masked
      {"admin_pwd", 8, 64, Reconfigure | Masked, "1234567", ChangeNone},       // too short
      {"admin_pwd", 8, 64, Reconfigure | Masked, "12345678", ChangeReconfigure},
      {"admin_pwd", 8, 64, Reconfigure | Masked, "****", ChangeNone},          // 4 < 8
      {"admin_passphrase", 0, 64, Reconfigure | Masked, "****", ChangeReconfigure},
      {"admin_name", 1, 64, Reconfigure, "", ChangeNone},
      {"admin_name", 1, 64, Reconfigure, std::string(65, 'x'), ChangeNone},
      {"sys_name", 0, 64, Live, "x\n sessKeys = off", ChangeNone},           // would inject a line
      {"sys_name", 0, 64, Live, "a\rb", ChangeNone},
      {"sys_name", 0, 64, Live, std::string("a\0b", 3), ChangeNone},
      {"sys_name", 0, 64, Live, "tab\there", ChangeNone},
      {"sys_name", 0, 64, Live, "del\x7f", ChangeNone},
      {"sys_name", 0, 64, Live, " lead", ChangeNone},                        // the file would trim it
      {"sys_name", 0, 64, Live, "trail ", ChangeNone},
      {"sys_name", 0, 64, Live, "in between", ChangeLive},
      {"sys_name", 0, 64, Live, "\xc3\xa9t\xc3\xa9", ChangeLive},           // UTF-8 is text
  };
  for (const TextCase& c : cases) {
    StringParam p(c.name, "old", c.minLength, c.maxLength, c.flags);
    EXPECT_EQ(p.set(c.text), c.result) << c.name << " [" << c.text << "]";
    const bool keeps = c.result == ChangeNone || c.text == "****";
    EXPECT_EQ(p.storedText(), keeps ? "old" : c.text) << c.name << " [" << c.text << "]";
    EXPECT_EQ(p.isModified(), !keeps);
  }
}

TEST(StringParamTest, MaskedDisplayAndStoredForms) {
  StringParam p("smtp_pwd", "", 0, 64, Live | Masked);
  EXPECT_EQ(p.toText(), "");
  EXPECT_FALSE(p.isSet());
  ASSERT_EQ(p.set("secret"), ChangeLive);
  EXPECT_EQ(p.toText(), "****");
  EXPECT_EQ(p.itemText(0), "****");
  EXPECT_EQ(p.storedText(), "secret") << "the file keeps the clear text";
  EXPECT_EQ(p.text(), "secret");
  EXPECT_TRUE(p.isSet());
  EXPECT_TRUE(p.takeModified());
  EXPECT_EQ(p.set("****"), ChangeLive);
  EXPECT_EQ(p.storedText(), "secret");
  EXPECT_FALSE(p.isModified());
}

TEST(StringParamTest, SetFromTextRefusesControlCharactersToo) {
  StringParam p("dns_domain", "lan", 0, 64, Reconfigure);
  EXPECT_FALSE(p.setFromText("evil\nip_filter = off"));
  EXPECT_EQ(p.storedText(), "lan");
  EXPECT_FALSE(p.isModified());
}

TEST(StringParamTest, DisplayCodeRule) {
  StringParam p("disp_def", "DS", 2, 2, Live, isDisplayCode);
  for (const char* text : {"DS", "A1", "00", "ZZ", "1E"}) EXPECT_TRUE(p.validate(text)) << text;
  for (const char* text : {"E1", "E9", "ds", "ABC", "A", "", "A-"}) EXPECT_FALSE(p.validate(text)) << text;
  EXPECT_EQ(p.set("E1"), ChangeNone);
  EXPECT_EQ(p.set("A1"), ChangeLive);
  EXPECT_EQ(p.storedText(), "A1");
}

std::string upperCase(const char* text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

TEST(StringParamTest, TranslatedTextsGoThroughTheTranslator) {
  Param::setTranslator(&upperCase);
  StringParam p("sys_descr", "print server", 0, 64, Live | Translated);
  EXPECT_EQ(p.text(), "PRINT SERVER");
  EXPECT_EQ(p.toText(), "PRINT SERVER");
  EXPECT_EQ(p.storedText(), "print server");
  StringParam plain("sys_name", "box", 0, 64, Live);
  EXPECT_EQ(plain.text(), "box");
  Param::setTranslator(nullptr);
  EXPECT_EQ(p.text(), "print server");
}

const Choice kColours[] = {
    {"red", "Red", "#f00"},
    {"green", "Green", "#0f0"},
    {"blue", "Blue", "#00f"},
};

TEST(P3ListTest, SelectsByKeyword) {
  P3List p("colour", "green", kColours, Reconfigure);
  EXPECT_EQ(p.index(), 1);
  EXPECT_EQ(p.keyword(), "green");
  EXPECT_EQ(p.count(), 3);
  EXPECT_EQ(p.set("purple"), ChangeNone);
  EXPECT_EQ(p.set("Green"), ChangeNone) << "keywords compare exactly";
  EXPECT_EQ(p.set("green"), ChangeReconfigure);
  EXPECT_FALSE(p.isModified()) << "setting the current choice changes nothing";
  EXPECT_EQ(p.set("blue"), ChangeReconfigure);
  EXPECT_TRUE(p.isModified());
  EXPECT_EQ(p.storedText(), "blue");
  EXPECT_EQ(p.toText(), "blue");
  EXPECT_TRUE(p.is("BLUE"));
  EXPECT_TRUE(p.isOneOf({"red", "Blue"}));
  EXPECT_FALSE(p.isOneOf({"red", "green"}));
}

TEST(P3ListTest, SettingAChoiceAgainKeepsAPendingChange) {
  P3List p("colour", "red", kColours, Reconfigure);
  ASSERT_EQ(p.set("blue"), ChangeReconfigure);
  ASSERT_EQ(p.set("blue"), ChangeReconfigure);
  EXPECT_TRUE(p.isModified()) << "the change to blue must still be applied and saved";
}

TEST(P3ListTest, NoDefaultSelectsNothing) {
  for (const char* def : {static_cast<const char*>(nullptr), "violet"}) {
    P3List p("colour", def, kColours, Live);
    EXPECT_EQ(p.index(), P3List::kNone);
    EXPECT_FALSE(p.isSet());
    EXPECT_EQ(p.keyword(), "");
    EXPECT_EQ(p.storedText(), "");
    EXPECT_FALSE(p.is("red"));
    EXPECT_TRUE(p.is(""));
  }
}

TEST(P3ListTest, ItemTextSelectors) {
  P3List p("colour", "blue", kColours, Live);
  const struct {
    int32_t selector;
    const char* text;
  } cases[] = {
      {0, "red"},
      {2, "blue"},
      {P3List::kDisplayColumn + 2, "Blue"},
      {P3List::kThirdColumn + 1, "#0f0"},
      {P3List::kThirdColumn | P3List::kDisplayColumn | 0, "#f00"},  // third column wins
      {P3List::kNone, "blue"},                                    // negative: current entry
      {-1, "blue"},
  };
  for (const auto& c : cases) EXPECT_EQ(p.itemText(c.selector), c.text) << std::hex << c.selector;
}

TEST(P3ListTest, ItemTextOutOfRangeReportsTheIndex) {
  P3List p("colour", "red", kColours, Live);
  testing::internal::CaptureStderr();
  EXPECT_EQ(p.itemText(5), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR P3List ill base idx:x00000005\n");
  P3List none("colour", nullptr, kColours, Live);
  testing::internal::CaptureStderr();
  EXPECT_EQ(none.toText(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR P3List ill base idx:x80000000\n");
}

TEST(P3ListTest, TranslatedDisplayColumn) {
  Param::setTranslator(&upperCase);
  P3List p("colour", "red", kColours, Live | Translated);
  EXPECT_EQ(p.itemText(P3List::kDisplayColumn + 1), "GREEN");
  EXPECT_EQ(p.itemText(1), "green");
  Param::setTranslator(nullptr);
}

TEST(Ip4AddressTest, ValidatesDottedQuads) {
  Ip4Address p("ip_addr", "0.0.0.0", 0);
  for (const char* text : {"0.0.0.0", "192.168.1.10", "255.255.255.255"})
    EXPECT_TRUE(p.validate(text)) << text;
  for (const char* text : {"256.1.1.1", "-1.2.3.4", "1.2.3", "1.2.3.4.5", "a.b.c.d", "", "1.2.3.4 ",
                           "::1"})
    EXPECT_FALSE(p.validate(text)) << text;
  EXPECT_FALSE(p.validate(std::string("1.2.3.4\0junk", 12))) << "a NUL hides nothing";
  EXPECT_FALSE(p.setFromText(std::string("1.2.3.4\0", 8)));
}

TEST(Ip4AddressTest, UnchangedAddressReportsNoChange) {
  Ip4Address p("ip_gate", "0.0.0.0", 0);
  EXPECT_FALSE(p.isSet());
  EXPECT_EQ(p.set("192.168.1.1"), ChangeRestart);
  EXPECT_TRUE(p.isModified());
  EXPECT_TRUE(p.takeModified());
  EXPECT_EQ(p.set("192.168.1.1"), ChangeNone);
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(p.toText(), "192.168.1.1");
  EXPECT_EQ(p.storedText(), "192.168.1.1");
  EXPECT_TRUE(p.isSet());
  EXPECT_FALSE(p.isLinkLocal());
  EXPECT_EQ(p.set("169.254.3.4"), ChangeRestart);
  EXPECT_TRUE(p.isLinkLocal());
}

TEST(Ip4AddressTest, DefaultFromText) {
  Ip4Address p("ip_mask", "255.255.255.0", 0);
  EXPECT_EQ(p.toText(), "255.255.255.0");
  EXPECT_FALSE(p.address().isIpv6());
  EXPECT_TRUE(p.setAddress(InetAddr::ipv4(10, 0, 0, 1)));
  EXPECT_FALSE(p.setAddress(InetAddr::ipv4(10, 0, 0, 1)));
  EXPECT_EQ(p.toText(), "10.0.0.1");
}

TEST(Ip6AddressTest, SetsNewAddressesOnly) {
  Ip6Address p("ipv6_addr", "::", 0);
  EXPECT_EQ(p.toText(), "::");
  EXPECT_TRUE(p.address().isIpv6());
  EXPECT_FALSE(p.isSet());
  EXPECT_EQ(p.set("2001:db8::5"), ChangeRestart);
  EXPECT_TRUE(p.isModified());
  EXPECT_EQ(p.set("not-an-address"), ChangeNone);
  EXPECT_EQ(p.set("192.168.1.1"), ChangeNone);
  EXPECT_EQ(p.toText(), "2001:db8::5");
  EXPECT_TRUE(p.takeModified());
  EXPECT_EQ(p.set("2001:0db8:0::5"), ChangeNone) << "the same address in another spelling";
  EXPECT_TRUE(p.validate("0000:0000:0000:0000:0000:ffff:192.168.100.200"));  // 45 characters
  EXPECT_FALSE(p.validate("0000:0000:0000:0000:0000:ffff:192.168.100.2001"));
}

TEST(Ip6AddressTest, BadDefaultIsReported) {
  testing::internal::CaptureStderr();
  Ip6Address p("ipv6_gate", "fe80::zz", 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ERROR: Ip6Address initialization faild with:[fe80::zz]!\n");
  EXPECT_EQ(p.toText(), "::");
}

TEST(MacAddressTest, ValidatesSixHexFields) {
  MacAddress p("hw_filter_1", 0);
  for (const char* text : {"00:11:22:33:44:55", "0:1:2:3:4:5", "AA:bb:Cc:dd:EE:ff", "0ff:1:2:3:4:5"})
    EXPECT_TRUE(p.validate(text)) << text;
  for (const char* text : {"00:11:22:33:44", "00:11:22:33:44:55:66", "00:11:22:33:44:100",
                           "00-11-22-33-44-55", "00:11:22:33:44:", "", "g0:11:22:33:44:55",
                           "00:11:22:33:44:55 "})
    EXPECT_FALSE(p.validate(text)) << text;
}

TEST(MacAddressTest, UnchangedAddressReportsNoChange) {
  MacAddress p("hw_filter_2", Reconfigure);
  EXPECT_EQ(p.toText(), "00:00:00:00:00:00");
  EXPECT_FALSE(p.isSet());
  EXPECT_EQ(p.set("0:11:22:33:44:5"), ChangeReconfigure);
  EXPECT_EQ(p.toText(), "00:11:22:33:44:05");
  EXPECT_TRUE(p.isSet());
  EXPECT_TRUE(p.takeModified());
  EXPECT_EQ(p.set("00:11:22:33:44:05"), ChangeNone);
  EXPECT_FALSE(p.isModified());
  EXPECT_EQ(p.set("AA:BB:CC:DD:EE:FF"), ChangeReconfigure);
  EXPECT_EQ(p.storedText(), "aa:bb:cc:dd:ee:ff");
}

TEST(MacAddressTest, DefaultBytesAndAssign) {
  MacAddress p("mac", {0x02, 0x55, 0x53, 1, 2, 3}, 0);
  EXPECT_EQ(p.toText(), "02:55:53:01:02:03");
  p.assign(MacAddr({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(p.toText(), "01:02:03:04:05:06");
  EXPECT_FALSE(p.isModified());
}

}  // namespace

namespace {

// Readers copy texts while writers replace them and an applier clears the
// marks: no torn or freed text is ever seen.
TEST(ParamAccessStress, ReadersNeverSeeATornText) {
  StringParam text("smtp_srv", "mail.example", 0, 64, Live);
  IntParam number("smtp_port", 25, 1, 65535, Live);
  const Choice choices[] = {{"a", "A", ""}, {"b", "B", ""}};
  P3List list("mode", "a", choices, Live);
  Ip4Address addr("ip_gate", "0.0.0.0", 0);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < 2000; ++i) {
        text.set(w ? "mail.example" : std::string(40, 'x'));
        number.set(std::to_string(1 + i % 100));
        list.set(i % 2 ? "a" : "b");
        addr.set(w ? "198.18.0.1" : "198.18.0.2");
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop) {
      const std::string t = text.text();
      if (t != "mail.example" && t != std::string(40, 'x')) bad++;
      const std::string a = addr.toText();
      if (a != "0.0.0.0" && a != "198.18.0.1" && a != "198.18.0.2") bad++;
      if (list.keyword().size() != 1) bad++;
      if (number.value() < 1 || number.value() > 100) bad++;
      text.takeModified();
      list.takeModified();
    }
  });
  for (int i = 0; i < 2; ++i) threads[i].join();
  stop = true;
  threads[2].join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace

namespace {

TEST(StringParamTest, HashedPasswordsStoreTheirHash) {
  StringParam p("web_pwd", "", 0, 46, Reconfigure | Hashed);
  EXPECT_EQ(p.set("secret12"), ChangeReconfigure);
  const std::string hash = p.storedText();
  EXPECT_EQ(hash.size(), 13u);
  EXPECT_EQ(hash.substr(0, 2), "Wj");
  EXPECT_EQ(p.toText(), "****");
  EXPECT_TRUE(p.takeModified());
  for (const char* same : {"secret12", "****", "Wj8ZrT1mYcKpE"}) {
    EXPECT_EQ(p.set(same), ChangeReconfigure) << same;
    EXPECT_EQ(p.storedText(), hash) << same;
    EXPECT_FALSE(p.isModified()) << same;
  }
  EXPECT_EQ(p.set("secret123"), ChangeReconfigure);
  EXPECT_EQ(p.storedText().size(), 24u);
  EXPECT_TRUE(p.isModified());
  EXPECT_EQ(p.set(std::string(33, 'a')), ChangeNone) << "its hash would exceed 46 characters";
}

}  // namespace
