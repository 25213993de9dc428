// Mass storage through the client: wrapper and command block bytes, the
// descriptor walk, the bulk-only exchange (including a halted endpoint), and
// byte ranges turned into block reads and writes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/tools/scripted_transport.h"
#include "tools/usbclient/bulk_only_disk.h"
#include "tools/usbclient/descriptors.h"
#include "tools/usbclient/disk_image.h"
#include "tools/usbclient/scsi.h"

using namespace usbclient;
using namespace usbclient_test;

namespace {

const DeviceRef kDev{0, 1};

TEST(BulkOnlyWrappers, CommandWrapperGoldenBytes) {
  struct {
    Bytes cdb;
    uint32_t tag, length;
    bool in;
    const char* expected;
  } cases[] = {
      {cdbRead10(0x00000010, 1), 1, 512, true,
       "55534243 01000000 00020000 80 00 0a 28000000001000000100 000000000000"},
      {cdbWrite10(0x12345678, 0x0102), 0xa1b2c3d4, 0x20400, false,
       "55534243 d4c3b2a1 00040200 00 00 0a 2a001234567800010200 000000000000"},
      {cdbReadCapacity10(), 7, 8, true,
       "55534243 07000000 08000000 80 00 0a 25000000000000000000 000000000000"},
      {cdbTestUnitReady(), 2, 0, false,
       "55534243 02000000 00000000 00 00 06 000000000000 00000000000000000000"},
      {cdbRequestSense(18), 3, 18, true,
       "55534243 03000000 12000000 80 00 06 030000001200 00000000000000000000"},
      {cdbInquiry(36), 4, 36, true,
       "55534243 04000000 24000000 80 00 06 120000002400 00000000000000000000"},
      {cdbSynchronizeCache10(), 5, 0, false,
       "55534243 05000000 00000000 00 00 0a 35000000000000000000 000000000000"},
  };
  for (const auto& c : cases) {
    auto w = buildCbw(c.tag, c.length, c.in, 0, c.cdb);
    EXPECT_EQ(toHex(Bytes(w.begin(), w.end())), toHex(hex(c.expected)));
  }
}

TEST(BulkOnlyWrappers, StatusWrapperParsing) {
  Csw csw;
  ASSERT_TRUE(parseCsw(hex("55534253 0d0c0b0a 00010000 01"), csw));
  EXPECT_EQ(csw.tag, 0x0a0b0c0du);
  EXPECT_EQ(csw.residue, 256u);
  EXPECT_EQ(csw.status, 1);
  EXPECT_FALSE(parseCsw(hex("55534243 0d0c0b0a 00010000 01"), csw));  // CBW signature
  EXPECT_FALSE(parseCsw(hex("55534253 0d0c0b0a 00010000"), csw));     // 12 bytes
  uint32_t last = 0, size = 0;
  ASSERT_TRUE(parseReadCapacity10(hex("0001ffff 00000200"), last, size));
  EXPECT_EQ(last, 0x1ffffu);
  EXPECT_EQ(size, 512u);
  EXPECT_FALSE(parseReadCapacity10(hex("0001ffff 00000000"), last, size));
}

const char* kBotConfig =
    "09 02 2000 01 01 00 80 32"
    "09 04 00 00 02 08 06 50 00"
    "07 05 81 02 0002 00"
    "07 05 02 02 0002 00";

TEST(Descriptors, FindsTheBulkOnlyInterface) {
  BulkOnlyInterface b;
  ASSERT_TRUE(findBulkOnlyInterface(hex(kBotConfig), b));
  EXPECT_EQ(b.configValue, 1);
  EXPECT_EQ(b.interfaceNumber, 0);
  EXPECT_EQ(b.inEndpoint, 0x81);
  EXPECT_EQ(b.outEndpoint, 0x02);
  EXPECT_EQ(b.maxPacket, 512);
}

TEST(Descriptors, SkipsOtherInterfacesAndLongDescriptors) {
  Bytes c = hex("09 02 3a00 02 03 00 80 32"
                "09 04 00 00 01 ff 00 00 00"  // vendor interface
                "07 05 83 02 4000 00"
                "0c 04 01 00 02 08 06 50 00 aa bb cc"  // longer than 9
                "07 05 84 02 0002 00"
                "05 24 01 02 03"                       // class-specific
                "07 05 05 02 0002 00");
  BulkOnlyInterface b;
  ASSERT_TRUE(findBulkOnlyInterface(c, b));
  EXPECT_EQ(b.configValue, 3);
  EXPECT_EQ(b.interfaceNumber, 1);
  EXPECT_EQ(b.inEndpoint, 0x84);
  EXPECT_EQ(b.outEndpoint, 0x05);
}

TEST(Descriptors, RefusesWhatIsNotABulkOnlyDevice) {
  const char* bad[] = {
      "09 02 2200 01 01 00 80 32 09 04 00 00 01 03 01 01 00 09 21 11 01 00 01 22 3f00"
      "07 05 81 03 0800 0a",                                    // keyboard
      "09 02 2000 01 01 00 80 32 00 04 00 00 02 08 06 50 00",   // bLength 0 ends the walk
      "09 02 2000 01 01 00 80 32 09 04 00 00 02 08 06 50 00 07 05 81 02 0002",  // cut short
      "09 02 2000 01 01 00 80 32 09 04 00 00 02 08 06 50 00 07 05 81 02 0002 00",  // no OUT
      "09 04 00 00 02 08 06 50 00",                             // not a configuration
  };
  for (const char* c : bad) {
    BulkOnlyInterface b;
    EXPECT_FALSE(findBulkOnlyInterface(hex(c), b)) << c;
  }
}

// The bulk-only exchange as the server sees it.
class BulkOnlyExchange : public ::testing::Test {
 protected:
  BulkOnlyExchange()
      : streams_(std::make_shared<ScriptedStreams>()),
        client_(std::make_unique<ScriptedTransport>(streams_), 1000),
        disk_(client_, kDev, BulkOnlyInterface{1, 0, 0, 0x81, 0x02, 512}) {}

  void serverSends(const Bytes& b) { streams_->incoming.push_back(b); }

  std::shared_ptr<ScriptedStreams> streams_;
  UsbClient client_;
  BulkOnlyDisk disk_;
};

const char* kRead10Cbw = "55534243 01000000 00020000 80 00 0a 28000000001000000100 000000000000";

TEST_F(BulkOnlyExchange, Read10SendsWrapperWithDataRequestThenReadsStatus) {
  Bytes block(512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  serverSends(replyFrame(0, 0x1008, 1, 0, 0));
  serverSends(replyFrame(0, 0x1008, 2, 0, 0, block));
  serverSends(replyFrame(0, 0x1008, 3, 0, 0, hex("55534253 01000000 00000000 00")));
  uint8_t out[512] = {};
  uint32_t got = 0;
  ASSERT_EQ(disk_.command(cdbRead10(0x10, 1), BulkOnlyDisk::Phase::In, out, 512, &got), 0)
      << disk_.lastError();
  EXPECT_EQ(got, 512u);
  EXPECT_EQ(std::memcmp(out, block.data(), 512), 0);
  Bytes expected = hex("00000000 00000008 00000001 0000002b 00 01 02 03 00000000 0000001f") +
                   hex(kRead10Cbw) +
                   hex("00000000 00000008 00000002 0000000c 00 01 81 03 00000200 00000000") +
                   hex("00000000 00000008 00000003 0000000c 00 01 81 03 0000000d 00000000");
  EXPECT_EQ(toHex(streams_->written), toHex(expected));
}

TEST_F(BulkOnlyExchange, Write10SendsWrapperDataAndStatusRequestTogether) {
  Bytes block(512, 0xab);
  serverSends(replyFrame(0, 0x1008, 1, 0, 0));
  serverSends(replyFrame(0, 0x1008, 2, 0, 0));
  serverSends(replyFrame(0, 0x1008, 3, 0, 0, hex("55534253 01000000 00000000 00")));
  ASSERT_EQ(disk_.command(cdbWrite10(0x10, 1), BulkOnlyDisk::Phase::Out, block.data(), 512), 0)
      << disk_.lastError();
  Bytes expected = hex("00000000 00000008 00000001 0000002b 00 01 02 03 00000000 0000001f") +
                   hex("55534243 01000000 00020000 00 00 0a 2a000000001000000100 000000000000") +
                   hex("00000000 00000008 00000002 0000020c 00 01 02 03 00000000 00000200") + block +
                   hex("00000000 00000008 00000003 0000000c 00 01 81 03 0000000d 00000000");
  EXPECT_EQ(toHex(streams_->written), toHex(expected));
}

TEST_F(BulkOnlyExchange, HaltedDataEndpointIsClearedAndStatusStillRead) {
  serverSends(replyFrame(0, 0x1008, 1, 0, 0));
  serverSends(replyFrame(0, 0x1008, 2, 3, -32));
  serverSends(replyFrame(0, 0x100C, 3, 0, 0));
  serverSends(replyFrame(0, 0x1008, 4, 0, 0, hex("55534253 01000000 00020000 01")));
  uint8_t out[512];
  EXPECT_EQ(disk_.command(cdbRead10(0x10, 1), BulkOnlyDisk::Phase::In, out, 512), -1);
  EXPECT_EQ(disk_.lastError(), "command failed");
  Bytes tail = hex("00000000 0000000c 00000003 00000003 000181") +
               hex("00000000 00000008 00000004 0000000c 00 01 81 03 0000000d 00000000");
  ASSERT_GE(streams_->written.size(), tail.size());
  EXPECT_EQ(toHex(Bytes(streams_->written.end() - static_cast<long>(tail.size()), streams_->written.end())),
            toHex(tail));
}

TEST_F(BulkOnlyExchange, StatusWrapperOfAnotherCommandFails) {
  serverSends(replyFrame(0, 0x1008, 1, 0, 0));
  serverSends(replyFrame(0, 0x1008, 2, 0, 0, hex("55534253 09000000 00000000 00")));
  // Reset recovery follows: class request, then both halts cleared.
  serverSends(replyFrame(0, 0x1008, 3, 0, 0));
  serverSends(replyFrame(0, 0x100C, 4, 0, 0));
  serverSends(replyFrame(0, 0x100C, 5, 0, 0));
  EXPECT_EQ(disk_.command(cdbTestUnitReady(), BulkOnlyDisk::Phase::None, nullptr, 0), -1);
  Bytes tail = hex("00000000 00000008 00000003 00000014 00 01 00 02 00000000 00000008"
                   "21 ff 0000 0000 0000") +
               hex("00000000 0000000c 00000004 00000003 000181") +
               hex("00000000 0000000c 00000005 00000003 000102");
  EXPECT_EQ(toHex(Bytes(streams_->written.end() - static_cast<long>(tail.size()), streams_->written.end())),
            toHex(tail));
}

// A disk in memory that counts its calls.
class RamDisk : public BlockDevice {
 public:
  RamDisk(uint32_t blockSize, uint64_t blocks) : bs_(blockSize), data_(blockSize * blocks) {}
  uint32_t blockSize() const override { return bs_; }
  uint64_t blockCount() const override { return data_.size() / bs_; }
  int readBlocks(uint64_t lba, uint32_t count, uint8_t* out) override {
    if ((lba + count) * bs_ > data_.size()) return -1;
    std::memcpy(out, data_.data() + lba * bs_, size_t{count} * bs_);
    ++reads;
    return 0;
  }
  int writeBlocks(uint64_t lba, uint32_t count, const uint8_t* in) override {
    if ((lba + count) * bs_ > data_.size()) return -1;
    std::memcpy(data_.data() + lba * bs_, in, size_t{count} * bs_);
    ++writes;
    return 0;
  }
  int flush() override { return 0; }
  std::string lastError() const override { return {}; }
  const Bytes& data() const { return data_; }
  int reads = 0;
  int writes = 0;

 private:
  uint32_t bs_;
  Bytes data_;
};

TEST(DiskImage, ByteRangesBecomeBlockOperations) {
  RamDisk disk(512, 16);
  DiskImage image(disk);
  Bytes reference(disk.data().size(), 0);
  ASSERT_EQ(image.size(), 8192u);
  struct {
    uint64_t offset;
    size_t length;
    long result;
    int reads;  // device reads a write needs
  } writes[] = {
      {0, 512, 512, 0},       // aligned
      {100, 10, 10, 1},       // inside one block
      {500, 30, 30, 2},       // across a block boundary
      {512, 1000, 1000, 1},   // aligned start, partial end
      {1000, 24, 24, 1},      // partial start, aligned end
      {700, 3000, 3000, 2},   // partial at both ends
      {8000, 500, 192, 1},    // cut at the end of the disk
  };
  std::mt19937 rng(7);
  for (const auto& w : writes) {
    SCOPED_TRACE(w.offset);
    Bytes data(w.length);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    disk.reads = 0;
    ASSERT_EQ(image.write(w.offset, w.length, data.data()), w.result);
    EXPECT_EQ(disk.reads, w.reads);
    std::memcpy(reference.data() + w.offset, data.data(), static_cast<size_t>(w.result));
    ASSERT_EQ(disk.data(), reference);
    Bytes back(w.length);
    ASSERT_EQ(image.read(w.offset, w.length, back.data()), w.result);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + w.result, data.begin()));
  }
  uint8_t b;
  EXPECT_EQ(image.read(8192, 1, &b), 0);
  EXPECT_EQ(image.write(8192, 1, &b), -1);
}

}  // namespace
