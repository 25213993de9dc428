#include "core/util_translate.h"

#include <libintl.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/paths.h"
#include "tests/support/temp_root.h"

extern "C" int _nl_msg_cat_cntr;

namespace {

class Translation : public TempRootTest {
 protected:
  void SetUp() override {
    const std::string po = root_.writeFile("/romfs/locale/kvz.po",
                                           "msgid \"\"\n"
                                           "msgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n\n"
                                           "msgid \"Save\"\n"
                                           "msgstr \"Speichern\"\n\n"
                                           "msgid \"Password\"\n"
                                           "msgstr \"Kennwort\"\n");
    const std::string mo = root_.makeDirs("/romfs/locale/de/LC_MESSAGES") + "/kvz.mo";
    const std::string command = "msgfmt -o '" + mo + "' '" + po + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ASSERT_NE(bindtextdomain(kTextDomain, sysPath("/romfs/locale").c_str()), nullptr);
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    // glibc ignores LANGUAGE in the plain "C" locale
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    setenv("LANGUAGE", "de", 1);
    ++_nl_msg_cat_cntr;
  }
  void TearDown() override {
    unsetenv("LANGUAGE");
    std::setlocale(LC_ALL, "C");
    ++_nl_msg_cat_cntr;
  }
};

TEST_F(Translation, TranslatesFromTheCatalogue) {
  EXPECT_STREQ(getmuText("Save"), "Speichern");
  EXPECT_STREQ(getmuText("Password"), "Kennwort");
  const char* untranslated = "No such text";
  EXPECT_EQ(getmuText(untranslated), untranslated);
  {
    // a caller that switches the language holds the lock and may translate
    const TranslationLock lock;
    ASSERT_TRUE(lock.held());
    setenv("LANGUAGE", "fr", 1);
    ++_nl_msg_cat_cntr;
    EXPECT_STREQ(getmuText("Save"), "Save");
    setenv("LANGUAGE", "de", 1);
    ++_nl_msg_cat_cntr;
  }
  EXPECT_STREQ(getmuText("Save"), "Speichern");
}

using TranslationStress = Translation;

TEST_F(TranslationStress, ConcurrentCallersAllGetTheTranslation) {
  std::vector<std::thread> threads;
  std::atomic<int> untranslated{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (std::string(getmuText("Save")) != "Speichern") ++untranslated;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(untranslated.load(), 0);
}

}  // namespace
