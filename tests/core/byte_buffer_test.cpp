#include "core/byte_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ByteBuffer, ReserveReusesOwnedMemoryAndNeverFreesLentMemory) {
  ByteBuffer buffer;
  ASSERT_EQ(buffer.reserve(4000), 1);
  std::uint8_t* const first = buffer.data();
  EXPECT_TRUE(buffer.owned());
  EXPECT_EQ(buffer.capacity(), 4000);
  buffer.setLength(10);
  ASSERT_EQ(buffer.reserve(100), 1);
  EXPECT_EQ(buffer.data(), first);  // kept, not shrunk
  EXPECT_EQ(buffer.capacity(), 4000);
  EXPECT_EQ(buffer.length(), 0);
  EXPECT_EQ(buffer.cursor(), first);

  ASSERT_EQ(buffer.reserve(5000), 1);
  EXPECT_EQ(buffer.capacity(), 5000);

  // memory on the stack: freeing it would be caught by the sanitizer
  std::uint8_t lent[64];
  buffer.lend(lent, sizeof lent);
  EXPECT_FALSE(buffer.owned());
  EXPECT_EQ(buffer.data(), lent);
  ASSERT_EQ(buffer.reserve(32), 1);  // lent memory is dropped, not reused
  EXPECT_NE(buffer.data(), lent);
  EXPECT_TRUE(buffer.owned());
  buffer.lend(lent, sizeof lent);
  buffer.release();
  EXPECT_EQ(buffer.data(), nullptr);
  EXPECT_EQ(buffer.capacity(), 0);
  EXPECT_EQ(buffer.length(), 0);
  buffer.lend(lent, sizeof lent);
  buffer.forget();
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST(ByteBuffer, ReserveFailureReportsTheTask) {
  ByteBuffer buffer;
  testing::internal::CaptureStderr();
  EXPECT_EQ(buffer.reserve(-1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "FATAL ERROR MEM FAULT size:-1 NoTask !!\n");
  EXPECT_EQ(buffer.cursor(), nullptr);
  EXPECT_EQ(buffer.data(), nullptr);
}

TEST(ByteBuffer, AppendfClipsToTheRoomWithoutATerminator) {
  ByteBuffer buffer;
  ASSERT_EQ(buffer.reserve(16), 1);
  EXPECT_EQ(buffer.appendf("%s %d", "abc", 42), 6);
  EXPECT_EQ(buffer.length(), 6);
  EXPECT_EQ(buffer.room(), 10);
  EXPECT_EQ(buffer.appendf("%s", "0123456789ABCDEF"), 16);  // would overflow
  EXPECT_EQ(buffer.length(), 16);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), 16), "abc 420123456789");
  EXPECT_EQ(buffer.appendf("x"), 1);
  EXPECT_EQ(buffer.length(), 16);

  ByteBuffer big;
  ASSERT_EQ(big.reserve(1000), 1);
  const std::string long600(600, 'q');
  EXPECT_EQ(big.appendf("<%s>", long600.c_str()), 602);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(big.data()), 602), "<" + long600 + ">");

  ByteBuffer empty;
  EXPECT_EQ(empty.appendf("abc"), 3);
  EXPECT_EQ(empty.length(), 0);
}

TEST(ByteBuffer, AdvanceAndRewind) {
  ByteBuffer buffer;
  ASSERT_EQ(buffer.reserve(8), 1);
  buffer.appendf("abcdef");
  buffer.advance(2);
  EXPECT_EQ(*buffer.cursor(), 'c');
  EXPECT_EQ(buffer.length(), 4);
  EXPECT_EQ(buffer.room(), 2);
  buffer.advance(10);
  EXPECT_EQ(buffer.length(), 0);
  buffer.rewind();
  EXPECT_EQ(buffer.cursor(), buffer.data());
  EXPECT_EQ(buffer.room(), 8);
}

}  // namespace
