// The parameter file: exact line format, tolerant reading, atomic saving,
// the SD card copy and factory reset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <thread>

#include "fake_param_effects.h"
#include "param_test_root.h"
#include "params/param_classes.h"

namespace {

using Journal = std::vector<std::string>;

const Choice kHashes[] = {{"md5", "MD5", ""}, {"sha", "SHA", ""}};
const Choice kZones[] = {{"optgroup", "UTC+1:00", ""}, {"CET/CEST (EU)", "CET/CEST (EU)", "UTC+1:00"}};

// A small table with one parameter of every class and the names the
// table's own rules look for.
struct SampleTable {
  ParamTable t;
  StringParam* admin_name = t.add<StringParam>("admin_name", "Admin", 0, 64, Reconfigure);
  StringParam* admin_pwd = t.add<StringParam>("admin_pwd", "", 8, 64, Reconfigure | Masked);
  P3List* admin_hash = t.add<P3List>("admin_hash", "md5", kHashes, Reconfigure);
  P3List* ip_setby = t.add<P3List>("ip_setby", nullptr, kHashes, ReadOnly | Live);
  OnOffParam* ip4vlan_mgmt_untag = t.add<OnOffParam>("ip4vlan_mgmt_untag", true, Reconfigure);
  Ip4Address* ip_addr = t.add<Ip4Address>("ip_addr", "0.0.0.0", 0);
  OnOffParam* ip_dhcp = t.add<OnOffParam>("ip_dhcp", true, 0);
  OnOffParam* ip_bootp = t.add<OnOffParam>("ip_bootp", false, 0);
  Ip6Address* ipv6_addr = t.add<Ip6Address>("ipv6_addr", "::", 0);
  std::array<MacAddress*, 2> hw_filter_ = t.addFamily<MacAddress, 2>("hw_filter_", Reconfigure);
  IntParam* life = t.add<IntParam>("life", 1, ReadOnly | Live);
  P3List* ntp_tzone = t.add<P3List>("ntp_tzone", "CET/CEST (EU)", kZones, SnmpKeyword | Reconfigure);
  OnOffParam* sessKeys = t.add<OnOffParam>("sessKeys", false, Live);
  IntParam* sessKeyTimeout = t.add<IntParam>("sessKeyTimeout", 600, 120, 3600, Live);
  StringParam* any_name = t.add<StringParam>("any_name", "", 0, 64, Reconfigure);
  OnOffParam* syslog = t.add<OnOffParam>("syslog", false, Reconfigure);
  IntParam* wyk_port = t.add<IntParam>("wyk_port", 9200, 1, 65535, Reconfigure);
  IntParam* wyk_heartbeat = t.add<IntParam>("wyk_heartbeat", 180, 0, 1800, Live);
  IntParam* wykPortNumber = t.add<IntParam>("wykPortNumber", 4, ReadOnly);
  std::array<StringParam*, 2> wyk_tag_ = t.addFamily<StringParam, 2>("wyk_tag_", "", 0, 32, Live);
  std::array<StringParam*, 2> usb_owner_ =
      t.addFamily<StringParam, 2>("usb_owner_", "-", 0, 64, 0x08000021);
  IntParam* sw_features = t.add<IntParam>("sw_features", 0x200000, ReadOnly);
  OnOffParam* autoSync = t.add<OnOffParam>("autoSync", false, Live | 0x200000);
};

// The default file of the sample table: names right-aligned to the longest
// saved name (18 characters), byte order, no runtime-only lines, empty
// values leave a blank after "=".
const char kGoldenDefaults[] =
    "         admin_hash = md5\n"
    "         admin_name = Admin\n"
    "          admin_pwd = \n"
    "           any_name = \n"
    "           autoSync = off\n"
    "        hw_filter_1 = 00:00:00:00:00:00\n"
    "        hw_filter_2 = 00:00:00:00:00:00\n"
    " ip4vlan_mgmt_untag = on\n"
    "            ip_addr = 0.0.0.0\n"
    "           ip_bootp = off\n"
    "            ip_dhcp = on\n"
    "           ip_setby = \n"
    "          ipv6_addr = ::\n"
    "               life = 1\n"
    "          ntp_tzone = CET/CEST (EU)\n"
    "     sessKeyTimeout = 600\n"
    "           sessKeys = off\n"
    "        sw_features = 2097152\n"
    "             syslog = off\n"
    "      wykPortNumber = 4\n"
    "      wyk_heartbeat = 180\n"
    "           wyk_port = 9200\n"
    "          wyk_tag_1 = \n"
    "          wyk_tag_2 = \n";

class ParamFileTest : public testing::Test {
 protected:
  ParamTestRoot root;
  SampleTable s;
  ParamTable& t = s.t;
};

TEST_F(ParamFileTest, DefaultsGiveTheGoldenFile) {
  EXPECT_EQ(t.fileText(), kGoldenDefaults);
  ASSERT_EQ(t.save(), 0);
  EXPECT_EQ(root.read("/etc/params.dat"), kGoldenDefaults);
  EXPECT_EQ(root.list("/etc"), std::vector<std::string>({"params.dat"})) << "no temporary file left";
}

TEST_F(ParamFileTest, ChangedValuesRoundTrip) {
  ASSERT_NE(s.admin_pwd->set("geheim123"), 0);
  ASSERT_NE(s.admin_hash->set("sha"), 0);
  ASSERT_NE(s.ip_addr->set("198.18.0.5"), 0);
  ASSERT_NE(s.ipv6_addr->set("2001:db8::7"), 0);
  ASSERT_NE(s.hw_filter_[1]->set("AA:bb:0:1:2:3"), 0);
  ASSERT_NE(s.wyk_tag_[0]->set("left desk"), 0);
  ASSERT_NE(s.ip_dhcp->set("off"), 0);
  ASSERT_NE(s.wyk_heartbeat->set("0"), 0);
  ASSERT_NE(s.ip_setby->set("md5"), 0);
  ASSERT_EQ(t.save(), 0);
  const std::string file = root.read("/etc/params.dat");
  for (const char* line : {"          admin_pwd = geheim123\n", "         admin_hash = sha\n",
                           "            ip_addr = 198.18.0.5\n", "          ipv6_addr = 2001:db8::7\n",
                           "        hw_filter_2 = aa:bb:00:01:02:03\n", "          wyk_tag_1 = left desk\n",
                           "            ip_dhcp = off\n", "      wyk_heartbeat = 0\n"})
    EXPECT_NE(file.find(line), std::string::npos) << line;

  SampleTable fresh;
  EXPECT_EQ(fresh.t.load(), 1);
  EXPECT_EQ(fresh.t.fileText(), file);
  EXPECT_EQ(fresh.wyk_tag_[0]->storedText(), "left desk");
}

TEST_F(ParamFileTest, HiddenAndRuntimeOnlyParametersAreNotSaved) {
  s.ip4vlan_mgmt_untag->addFlags(Hidden);
  s.wyk_port->addFlags(RuntimeOnly);
  const std::string file = t.fileText();
  EXPECT_EQ(file.find("ip4vlan"), std::string::npos);
  EXPECT_EQ(file.find("wyk_port"), std::string::npos);
  EXPECT_NE(file.find("\n sessKeyTimeout = 600\n"), std::string::npos)
      << "the width is that of the longest saved name, computed after hiding:\n"
      << file;
  s.sessKeyTimeout->addFlags(Hidden);
  EXPECT_EQ(t.fileText().substr(0, 21), "    admin_hash = md5\n") << "now 13 characters wide";
}

TEST_F(ParamFileTest, TolerantReadKeepsWhatIsValid) {
  const char damaged[] =
      "\t  ip_dhcp \t=\t off  \r\n"          // blanks, tabs and CR everywhere
      " ip_bootp on\n"                       // no "="
      "abc\n"                                // too short
      "\n"
      " wyk_port = 0\n"                      // out of range
      " wyk_heartbeat = 12ab\n"              // leading number
      " unknown_name = 5\n"
      " admin_name=Root\r\r\n"
      " admin_hash = SHA\n"                  // keywords compare exactly
      "   ip_addr   =   198.18.1.1   \n"
      " ipv6_addr = 2001:db8::zz\n"
      " hw_filter_1 = 00:11:22:33:44\n"
      " wyk_tag_2 =\n"                       // empty value
      " sessKeyTimeout = 4294967376\n"       // must not wrap into range
      "garbage without sense at all\n"
      " life\t=\t7\n";
  const std::string text = damaged;
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(file, nullptr);
  s.wyk_tag_[1]->set("was set");
  EXPECT_EQ(t.read(file, false), 1);
  std::fclose(file);
  EXPECT_TRUE(s.ip_dhcp->isOff());
  EXPECT_TRUE(s.ip_bootp->isOff());
  EXPECT_EQ(s.wyk_port->value(), 9200);
  EXPECT_EQ(s.wyk_heartbeat->value(), 12);
  EXPECT_EQ(s.admin_name->storedText(), "Root");
  EXPECT_EQ(s.admin_hash->keyword(), "md5");
  EXPECT_EQ(s.ip_addr->toText(), "198.18.1.1");
  EXPECT_EQ(s.ipv6_addr->toText(), "::");
  EXPECT_EQ(s.hw_filter_[0]->toText(), "00:00:00:00:00:00");
  EXPECT_EQ(s.wyk_tag_[1]->storedText(), "");
  EXPECT_EQ(s.sessKeyTimeout->value(), 600);
  EXPECT_EQ(s.life->value(), 7) << "our own file restores status values";
}

TEST_F(ParamFileTest, ReadResultTellsWhetherAnythingApplied) {
  const struct {
    const char* text;
    bool fromUpload;
    int result;
  } cases[] = {
      {"", false, 0},
      {" wyk_port = 0\n unknown = 1\n", false, 0},
      {" wyk_port = 9200\n", false, 1},  // unchanged still reports its class
      {" ip_addr = 0.0.0.0\n", false, 0},  // an unchanged address does not
      {" usb_owner_1 = me\n", false, 0},   // runtime-only: no change class
      {" life = 5\n", true, 0},            // an upload may not set status values
  };
  for (const auto& c : cases) {
    SampleTable fresh;
    std::string text = c.text;
    std::FILE* file = fmemopen(text.data(), text.size() + 1, "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(fresh.t.read(file, c.fromUpload), c.result) << c.text;
    std::fclose(file);
  }
}

TEST_F(ParamFileTest, HiddenLinesOfAnUploadAreSkipped) {
  s.syslog->addFlags(Hidden);
  std::string text = " syslog = on\n wyk_tag_1 = new\n";
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  EXPECT_EQ(t.read(file, true), 1);
  std::fclose(file);
  EXPECT_TRUE(s.syslog->isOff());
  EXPECT_EQ(s.wyk_tag_[0]->storedText(), "new");
}

TEST_F(ParamFileTest, LongLinesAreReadInPieces) {
  // 400 characters: the first 319 form one line (an unknown name), the
  // rest another, which sets the parameter.
  std::string text = " x" + std::string(317, 'y') + " wyk_port = 8080" + std::string(67, ' ') + "\n";
  std::FILE* file = fmemopen(text.data(), text.size(), "r");
  EXPECT_EQ(t.read(file, false), 1);
  std::fclose(file);
  EXPECT_EQ(s.wyk_port->value(), 8080);
}

TEST_F(ParamFileTest, InjectedLinesCannotReachTheFile) {
  EXPECT_EQ(s.admin_name->set("x\n sessKeys = on"), 0);
  EXPECT_FALSE(s.admin_name->setFromText("x\r\n syslog = on"));
  ASSERT_EQ(t.save(), 0);
  EXPECT_EQ(root.read("/etc/params.dat"), kGoldenDefaults);
}

TEST_F(ParamFileTest, LoadAppliesTheHiddenUserFixUp) {
  root.write("/etc/params.dat", " any_name = tarnweld\n sessKeys = off\n");
  EXPECT_EQ(t.load(), 1);
  EXPECT_TRUE(s.sessKeys->isOn());
  EXPECT_EQ(s.any_name->storedText(), "User");
}

TEST_F(ParamFileTest, LoadWithoutFileKeepsDefaults) {
  EXPECT_EQ(t.load(), 0);
  EXPECT_EQ(t.fileText(), kGoldenDefaults);
  s.any_name->set("tarnweld");
  EXPECT_EQ(t.load("/etc/missing.dat"), 0);
  EXPECT_TRUE(s.sessKeys->isOn()) << "the fix-up runs whatever the file held";
}

TEST_F(ParamFileTest, LoadFromDescriptorTakesTheDescriptorOver) {
  int bad = -1;
  EXPECT_EQ(t.loadFromDescriptor(bad), -1);
  root.write("/tmp/upload", " wyk_port = 8443\n life = 9\n");
  int fd = ::open(sysPath("/tmp/upload").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const int taken = fd;
  EXPECT_EQ(t.loadFromDescriptor(fd), 1);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(::fcntl(taken, F_GETFD), -1) << "closed";
  EXPECT_EQ(s.wyk_port->value(), 8443);
  EXPECT_EQ(s.life->value(), 1);
  int writeOnly = ::open(sysPath("/tmp/upload").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writeOnly, 0);
  const int refused = writeOnly;
  EXPECT_EQ(t.loadFromDescriptor(writeOnly), -1) << "no read stream on it";
  EXPECT_EQ(writeOnly, -1);
  EXPECT_EQ(::fcntl(refused, F_GETFD), -1) << "closed all the same";
}

TEST_F(ParamFileTest, SaveWithoutDirectoryFails) {
  EXPECT_EQ(t.save("/nowhere/params.dat"), -1);
}

TEST_F(ParamFileTest, SaveOntoAFullFileSystemKeepsTheOldFile) {
  ASSERT_EQ(t.save(), 0);
  for (auto* tag : s.wyk_tag_) tag->set(std::string(32, 'z'));
  // A file-size limit makes every write past 100 bytes fail as a full
  // file system would.
  struct sigaction ignore {}, old {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &old);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const int result = t.save();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &old, nullptr);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(root.read("/etc/params.dat"), kGoldenDefaults);
  EXPECT_EQ(root.list("/etc"), std::vector<std::string>({"params.dat"}));
}

TEST_F(ParamFileTest, SavedFileIsPrivate) {
  ASSERT_EQ(t.save(), 0);
  struct stat st {};
  ASSERT_EQ(::stat(sysPath("/etc/params.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "it holds passwords in clear";
}

class CardMirrorTest : public ParamFileTest {
 protected:
  CardMirrorTest() {
    t.setEffects(&effects);
    std::filesystem::create_directories(sysPath("/var/slot1"));
  }
  FakeParamEffects effects;
};

TEST_F(CardMirrorTest, MirrorsOnlyWithFeatureAutoSyncAndUsableCard) {
  const struct {
    int32_t features;
    bool autoSync;
    int cardState;
    bool mirrored;
  } cases[] = {
      {0x200000, true, 3, true},
      {0x200000, false, 3, false},
      {0x200000, true, 2, false},
      {0x200000, true, 0, false},
      {0x1000, true, 3, false},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(sysPath("/var/slot1/params.dat"));
    effects.journal.clear();
    s.sw_features->setValue(c.features);
    s.autoSync->setValue(c.autoSync ? 1 : 0);
    effects.cardState = c.cardState;
    ASSERT_EQ(t.save(), 0);
    EXPECT_EQ(root.exists("/var/slot1/params.dat"), c.mirrored) << c.features << c.autoSync << c.cardState;
    if (c.mirrored) {
      EXPECT_EQ(root.read("/var/slot1/params.dat"), root.read("/etc/params.dat"));
      EXPECT_EQ(effects.journal, Journal({"device log /var/slot1", "sync"}));
    } else {
      EXPECT_TRUE(effects.journal.empty());
    }
  }
}

TEST_F(CardMirrorTest, FailedCardCopyReportsFailureAfterWritingEtc) {
  std::filesystem::remove_all(sysPath("/var/slot1"));
  s.autoSync->setValue(1);
  s.wyk_port->set("1234");
  EXPECT_EQ(t.save(), -1);
  EXPECT_NE(root.read("/etc/params.dat").find("wyk_port = 1234"), std::string::npos);
}

TEST_F(CardMirrorTest, FactoryResetMovesTheCardCopy) {
  s.autoSync->setValue(1);
  ASSERT_EQ(t.save(), 0);
  ASSERT_TRUE(root.exists("/var/slot1/params.dat"));
  const std::string saved = t.fileText();
  effects.journal.clear();
  EXPECT_EQ(t.factoryReset(), 1);
  EXPECT_FALSE(root.exists("/etc/params.dat"));
  EXPECT_FALSE(root.exists("/var/slot1/params.dat"));
  EXPECT_EQ(root.read("/var/slot1/params.bup"), saved);
  EXPECT_EQ(effects.journal, Journal({"sync"}));
  EXPECT_EQ(t.factoryReset(), 0) << "nothing left to delete";
}

TEST_F(CardMirrorTest, FactoryResetWithoutAutoSyncLeavesTheCard) {
  root.write("/var/slot1/params.dat", "x");
  ASSERT_EQ(t.save(), 0);
  EXPECT_EQ(t.factoryReset(), 1);
  EXPECT_TRUE(root.exists("/var/slot1/params.dat"));
  EXPECT_TRUE(effects.journal.empty());
}

TEST_F(ParamFileTest, ApplyAndSaveSavesOnlySavedChanges) {
  s.usb_owner_[0]->set("someone");
  EXPECT_EQ(t.applyAndSave(), 0x80);
  EXPECT_FALSE(root.exists("/etc/params.dat"));
  s.wyk_port->set("9300");
  EXPECT_EQ(t.applyAndSave(), 0x83);
  EXPECT_NE(root.read("/etc/params.dat").find("wyk_port = 9300"), std::string::npos);
}

// Saves from several tasks at once while values change: every version of
// the file a reader sees is complete.
TEST(ParamFileStress, ConcurrentSavesNeverLeaveABrokenFile) {
  ParamTestRoot root;
  SampleTable s;
  ASSERT_EQ(s.t.save(), 0);
  const size_t lines = std::count(std::begin(kGoldenDefaults), std::end(kGoldenDefaults), '\n');
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; i < 30; ++i) {
        s.wyk_tag_[w % 2]->set("writer " + std::to_string(w) + " round " + std::to_string(i));
        s.wyk_heartbeat->setValue(i);
        if (s.t.save() != 0) failures++;
      }
    });
  }
  std::thread reader([&] {
    while (!stop) {
      const std::string file = root.read("/etc/params.dat");
      const size_t n = std::count(file.begin(), file.end(), '\n');
      if (n != lines || file.back() != '\n') failures++;
    }
  });
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(root.list("/etc"), std::vector<std::string>({"params.dat"}));
  EXPECT_EQ(root.read("/etc/params.dat"), s.t.fileText());
}

}  // namespace

namespace {

TEST(ParamFileHashedTest, OwnFileKeepsTheHashAnUploadSetsAPassword) {
  ParamTestRoot root;
  auto makeTable = [](ParamTable& t) {
    return t.add<StringParam>("web_pwd", "", 0, 46, Reconfigure | Hashed);
  };
  ParamTable first;
  StringParam* pwd = makeTable(first);
  ASSERT_NE(pwd->set("secret12"), 0);
  const std::string hash = pwd->storedText();
  ASSERT_EQ(first.save(), 0);
  EXPECT_EQ(root.read("/etc/params.dat"), " web_pwd = " + hash + "\n");

  ParamTable second;
  StringParam* loaded = makeTable(second);
  EXPECT_EQ(second.load(), 1);
  EXPECT_EQ(loaded->storedText(), hash) << "taken over, not hashed again";
  EXPECT_TRUE(loaded->hasFlags(Hashed));

  root.write("/tmp/upload", " web_pwd = newpass1\n");
  int fd = ::open(sysPath("/tmp/upload").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(second.loadFromDescriptor(fd), 1);
  EXPECT_NE(loaded->storedText(), hash);
  EXPECT_NE(loaded->storedText(), "newpass1");
  EXPECT_EQ(loaded->set("newpass1"), ChangeReconfigure);
  EXPECT_TRUE(loaded->takeModified()) << "marked by the upload only";
}

}  // namespace

namespace {

// Uploaded files come from outside: lines assembled from names, "=",
// blanks and random bytes never crash the reader, never store a value its
// parameter would refuse, and never change the shape of the saved file.
TEST(ParamFileFuzzTest, RandomLinesKeepEveryValueValid) {
  ParamTestRoot root;
  const std::vector<std::string> pieces = {
      "admin_name", "wyk_port", "ip_addr", "ipv6_addr", "hw_filter_1", "ntp_tzone", "sessKeys",
      "wyk_tag_1", "life", "=", " ", "\t", "\r", "on", "off", "****", "1.2.3.4", "::1", "00:11:22:33:44:55",
      "9200", "-1", "99999999999", "CET/CEST (EU)", "sha"};
  int applied = 0;
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SampleTable s;
    std::mt19937 rng(seed);
    std::string text;
    for (int line = 0; line < 300; ++line) {
      const int parts = static_cast<int>(rng() % 8);
      for (int i = 0; i < parts; ++i) {
        if (rng() % 4 == 0) {
          const int n = static_cast<int>(rng() % 12);
          for (int k = 0; k < n; ++k) text.push_back(static_cast<char>(rng() % 256));
        } else {
          text += pieces[rng() % pieces.size()];
        }
      }
      text.push_back('\n');
    }
    std::FILE* file = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(file, nullptr);
    applied += s.t.read(file, true);
    std::fclose(file);
    for (const Param* p : s.t.getItems()) {
      const std::string stored = p->storedText();
      if (!dynamic_cast<const P3List*>(p) || p->isSet()) {
        EXPECT_TRUE(p->validate(stored)) << p->name() << " [" << stored << "]";
      }
      EXPECT_FALSE(StringParam::hasControlCharacter(stored)) << p->name();
    }
    const std::string saved = s.t.fileText();
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 24) << "seed " << seed;
  }
  EXPECT_GT(applied, 0) << "the random lines must reach the parameters";
}

}  // namespace
