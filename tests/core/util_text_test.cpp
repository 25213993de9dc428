#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/util_base64.h"
#include "core/util_password.h"
#include "core/util_random.h"
#include "core/util_text.h"

namespace {

// Golden hashes from perl's crypt() with the salt "Wj", chunk by chunk.
struct HashRow { const char* password; const char* hash; };
const HashRow kHashes[] = {
    {"a", "WjAHdec7VfSpI"},
    {"password", "WjwOpfuB2pppo"},
    {"12345678", "Wj5HzufMG8Mb6"},
    {"123456789", "Wj5HzufMG8Mb63yoshnZugWU"},
    {"abcdefghijklmnopqrstuvwxyzABCDEF", "Wjd9jm6z4xkRM/ZHtkGMCk4kQvu0XABngfo3TFcAB8wa76"},
};

TEST(PasswordHash, MatchesTheDesCryptOfEveryChunk) {
  for (const HashRow& row : kHashes) {
    char out[kPasswordHashSize];
    ASSERT_EQ(hashPassword(row.password, 0, out), 1) << row.password;
    EXPECT_STREQ(out, row.hash);
    auto allocated = newPasswordHash(row.password, static_cast<int>(std::strlen(row.password)));
    ASSERT_NE(allocated, nullptr);
    EXPECT_STREQ(allocated.get(), row.hash);
  }
  char out[kPasswordHashSize];
  EXPECT_EQ(hashPassword("123456789", 8, out), 1);  // an explicit length cuts the text
  EXPECT_STREQ(out, "Wj5HzufMG8Mb6");
  const std::string tooLong(33, 'x');
  EXPECT_EQ(hashPassword(tooLong.c_str(), 0, out), 0);
  EXPECT_STREQ(out, "Wj");
  EXPECT_EQ(newPasswordHash(tooLong.c_str(), 33), nullptr);
  EXPECT_EQ(newPasswordHash("abc", 0), nullptr);
}

TEST(PasswordHash, ChecksExactlyTheHashedPassword) {
  struct Row { const char* password; int length; const char* hash; int expected; };
  const Row rows[] = {
      {"password", -1, "WjwOpfuB2pppo", 1},
      {"password9", -1, "WjwOpfuB2pppo", 0},
      {"passwor", -1, "WjwOpfuB2pppo", 0},
      {"123456789", -1, "Wj5HzufMG8Mb63yoshnZugWU", 1},
      {"12345678", -1, "Wj5HzufMG8Mb63yoshnZugWU", 0},
      {"1234567890", -1, "Wj5HzufMG8Mb63yoshnZugWU", 0},
      {"123456789", 9, "XX5HzufMG8Mb63yoshnZugWU", 1},  // the stored salt is not used
      {"", 0, "", 1},
      {nullptr, 0, nullptr, 1},
      {"", -1, nullptr, 1},
      {"x", -1, "", 0},
      {"", -1, "WjwOpfuB2pppo", 0},
      {nullptr, 0, "WjwOpfuB2pppo", 0},
      {"password", -1, "Wj", 0},
      {"password", -1, "WjwOpfuB2pp", 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(checkPassword(row.password, row.length, row.hash), row.expected)
        << (row.password ? row.password : "(null)") << " / " << (row.hash ? row.hash : "(null)");
  }
}

TEST(PasswordHashStress, ConcurrentChecksDoNotMixResults) {
  auto worker = [](const HashRow& mine, const HashRow& other, int* failures) {
    for (int i = 0; i < 3000; ++i) {
      if (checkPassword(mine.password, -1, mine.hash) != 1) ++*failures;
      if (checkPassword(mine.password, -1, other.hash) != 0) ++*failures;
    }
  };
  int failures1 = 0, failures2 = 0;
  std::thread a(worker, kHashes[1], kHashes[2], &failures1);
  std::thread b(worker, kHashes[2], kHashes[1], &failures2);
  a.join();
  b.join();
  EXPECT_EQ(failures1, 0);
  EXPECT_EQ(failures2, 0);
}

TEST(RandomText, UsesTheSixtyTwoCharacterAlphabetEvenly) {
  std::vector<char> text(62 * 2000, '\0');
  randomText(text.data(), static_cast<int>(text.size()));
  int counts[256] = {};
  for (char c : text) ++counts[static_cast<unsigned char>(c)];
  for (int c = 0; c < 256; ++c) {
    const bool allowed = std::isalnum(c) != 0;
    if (!allowed) {
      EXPECT_EQ(counts[c], 0) << c;
    } else {
      // 2000 expected per character; six standard deviations either side
      EXPECT_GT(counts[c], 1730) << static_cast<char>(c);
      EXPECT_LT(counts[c], 2270) << static_cast<char>(c);
    }
  }
  char guard[6] = {'#', '#', '#', '#', '#', '#'};
  randomText(guard, 5);
  EXPECT_EQ(guard[5], '#');  // no terminator written
}

TEST(RandomText, TansAreFreshAndTerminated) {
  EXPECT_STREQ(tanBuffer(), "KeQUV");
  newTan();
  const std::string first = tanBuffer();
  EXPECT_EQ(first.size(), 16u);
  char other[kTanLength + 1];
  std::memset(other, '#', sizeof other);
  newTan(other);
  EXPECT_EQ(std::strlen(other), 16u);
  EXPECT_NE(first, other);
  EXPECT_EQ(std::string(tanBuffer()), first);  // only the default call replaces the TAN
}

TEST(Base64, EncodesWithPaddingAndLines) {
  struct Row { std::string data; int offset; std::string text; };
  const std::string sixtyOne(61, 'M');
  std::string expected61;
  for (int i = 0; i < 20; ++i) expected61 += "TU1N";
  expected61 += "\r\nTQ==";
  const std::string sixty(60, 'M');
  std::string expected60;
  for (int i = 0; i < 20; ++i) expected60 += "TU1N";
  expected60 += "\r\n";
  const Row rows[] = {
      {"abc", 0, "YWJj"},
      {"ab", 0, "YWI="},
      {"a", 0, "YQ=="},
      {"", 0, ""},
      {sixtyOne, 0, expected61},
      {sixty, 0, expected60},
      {std::string(12, 'M'), 70, "TU1NTU1NTU1N\r\nTU1N"},
      {std::string("\xff\xfe\x00", 3), 0, "//4A"},
  };
  for (const Row& row : rows) {
    char out[256];
    const int length = base64Encode(reinterpret_cast<const unsigned char*>(row.data.data()),
                                    static_cast<int>(row.data.size()), out, sizeof out, row.offset);
    EXPECT_EQ(std::string(out, static_cast<std::size_t>(length)), row.text) << row.data;
    EXPECT_EQ(out[length], '\0');
  }
}

TEST(Base64, EncodingStopsWhenTheRoomRunsOut) {
  const unsigned char data[] = "abcdef";
  char out[8];
  std::memset(out, '#', sizeof out);
  // room 7: one group of four, the second does not fit
  EXPECT_EQ(base64Encode(data, 6, out, sizeof out, 0), 4);
  EXPECT_STREQ(out, "YWJj");
  char exact[9];
  EXPECT_EQ(base64Encode(data, 6, exact, sizeof exact, 0), 8);
  EXPECT_STREQ(exact, "YWJjZGVm");
}

TEST(Base64, DecodesUntilPaddingOrForeignCharacters) {
  struct Row { const char* text; int outSize; std::string bytes; };
  const Row rows[] = {
      {"YWJj", 16, "abc"},
      {"YWI=", 16, "ab"},
      {"YQ==", 16, "a"},
      {"YWJjZGVm\r\nZ2hp", 16, "abcdef"},
      {"YWJjZGVm", 4, "abc"},
      {"//4A", 16, std::string("\xff\xfe\x00", 3)},
      {"", 16, ""},
      {"YW*j", 16, "a"},
  };
  for (const Row& row : rows) {
    unsigned char out[16];
    const int length = base64Decode(row.text, out, row.outSize);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(length)), row.bytes)
        << row.text;
    EXPECT_EQ(out[length], 0);
  }
}

TEST(Base64, RoundTripsEveryByteValue) {
  unsigned char data[256];
  for (int i = 0; i < 256; ++i) data[i] = static_cast<unsigned char>(i);
  char text[400];
  base64Encode(data, 256, text, sizeof text, 0);
  // the decoder stops at a line break: decode line by line
  std::string decoded;
  for (const char* line = text; *line != '\0';) {
    unsigned char out[64];
    const int length = base64Decode(line, out, sizeof out);
    decoded.append(reinterpret_cast<char*>(out), static_cast<std::size_t>(length));
    const char* next = std::strstr(line, "\r\n");
    if (next == nullptr) break;
    line = next + 2;
  }
  EXPECT_EQ(decoded, std::string(reinterpret_cast<char*>(data), 256));
}

TEST(Base64, ArbitraryInputStaysWithinTheOutput) {
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    const int length = static_cast<int>(random() % 64);
    std::string text(static_cast<std::size_t>(length), '\0');
    for (char& c : text) c = static_cast<char>(1 + random() % 255);
    const int outSize = 1 + static_cast<int>(random() % 16);
    std::vector<unsigned char> out(static_cast<std::size_t>(outSize));
    const int written = base64Decode(text.c_str(), out.data(), outSize);
    EXPECT_GE(written, 0);
    EXPECT_LE(written, outSize - 1);
    EXPECT_EQ(out[static_cast<std::size_t>(written)], 0);

    std::vector<char> encoded(static_cast<std::size_t>(outSize));
    const int encodedLength = base64Encode(reinterpret_cast<const unsigned char*>(text.data()), length,
                                           encoded.data(), outSize, static_cast<int>(random() % 80));
    EXPECT_LE(encodedLength, outSize - 1);
    EXPECT_EQ(encoded[static_cast<std::size_t>(encodedLength)], '\0');
  }
}

TEST(CompareNoCase, HasCaselessPrefixSemantics) {
  struct Row { const char* a; const char* b; bool zero; };
  const Row rows[] = {
      {"FAST", "fast", true}, {"fast", "FAST", true}, {"TLS", "TTLS", false},
      {"", "anything", true}, {"tan", "TAN 1234", true}, {"TAN 1234", "tan", false},
      {"abc", "abd", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(compareNoCase(row.a, row.b) == 0, row.zero) << row.a << " / " << row.b;
  }
  EXPECT_EQ(compareNoCase("abc", "abd"), 'C' - 'D');
}

TEST(UptimeText, FormatsDaysHoursMinutes) {
  struct Row { std::int64_t ticks; const char* text; };
  const Row rows[] = {
      {0, "  0/00/00"},
      {25 * 360000LL, "  1/01/00"},
      {5999, "  0/00/00"},
      {6000, "  0/00/01"},
      {(1000LL * 1440 + 23 * 60 + 59) * 6000, "1000/23/59"},
  };
  for (const Row& row : rows) {
    char buffer[kUptimeTextSize];
    EXPECT_EQ(uptimeText(row.ticks, buffer), static_cast<int>(std::strlen(row.text)));
    EXPECT_STREQ(buffer, row.text);
  }
}

TEST(StatusLineValue, SkipsKeyAndBlanksAndCutsTheNewline) {
  struct Row { const char* line; const char* value; };
  const Row rows[] = {
      {"VmRSS:\t    1234 kB\n", "1234 kB"},
      {"Name:\tappliance\n", "appliance"},
      {"Threads: 7\n", "7"},
      {"Name:\tlast", "last"},
      {"NoBlank\n", ""},
      {"Key:\t\n", ""},
      {"", ""},
  };
  for (const Row& row : rows) {
    char line[64];
    std::strcpy(line, row.line);
    EXPECT_STREQ(statusLineValue(line), row.value) << row.line;
  }
}

TEST(LoadU32, ReadsUnalignedWords) {
  const unsigned char bytes[] = {0, 0x78, 0x56, 0x34, 0x12, 0};
  std::uint32_t expected;
  std::memcpy(&expected, bytes + 1, 4);
  EXPECT_EQ(loadU32(bytes + 1), expected);
  EXPECT_EQ(loadU32(bytes + 1), 0x12345678u);  // the build machine is little-endian
}

TEST(MsTimer, CountsFromTheResetSecond) {
  const std::int64_t start = msTimer(1);
  EXPECT_GE(start, 0);
  EXPECT_LT(start, 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const std::int64_t later = msTimer(0);
  EXPECT_GE(later - start, 29);
  EXPECT_LT(later - start, 1000);
}

}  // namespace
