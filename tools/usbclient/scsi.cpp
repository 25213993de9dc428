#include "tools/usbclient/scsi.h"

#include <algorithm>

namespace usbclient {
namespace {

void putLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t getLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

Bytes cdb10(uint8_t opcode, uint32_t lba, uint16_t blocks) {
  Bytes c(10, 0);
  c[0] = opcode;
  putBe32(c.data() + 2, lba);
  putBe16(c.data() + 7, blocks);
  return c;
}

}  // namespace

std::array<uint8_t, kCbwSize> buildCbw(uint32_t tag, uint32_t dataLength, bool dataIn, uint8_t lun,
                                       std::span<const uint8_t> cdb) {
  std::array<uint8_t, kCbwSize> w{};
  putLe32(w.data(), kCbwSignature);
  putLe32(w.data() + 4, tag);
  putLe32(w.data() + 8, dataLength);
  w[12] = dataIn ? 0x80 : 0x00;
  w[13] = lun & 0x0F;
  size_t n = std::min<size_t>(cdb.size(), 16);
  w[14] = static_cast<uint8_t>(n);
  std::copy_n(cdb.begin(), n, w.begin() + 15);
  return w;
}

bool parseCsw(std::span<const uint8_t> bytes, Csw& out) {
  if (bytes.size() != kCswSize || getLe32(bytes.data()) != kCswSignature) return false;
  out.tag = getLe32(bytes.data() + 4);
  out.residue = getLe32(bytes.data() + 8);
  out.status = bytes[12];
  return true;
}

Bytes cdbTestUnitReady() { return Bytes(6, 0); }

Bytes cdbRequestSense(uint8_t allocationLength) { return {0x03, 0, 0, 0, allocationLength, 0}; }

Bytes cdbInquiry(uint8_t allocationLength) { return {0x12, 0, 0, 0, allocationLength, 0}; }

Bytes cdbReadCapacity10() { return Bytes{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

Bytes cdbRead10(uint32_t lba, uint16_t blocks) { return cdb10(0x28, lba, blocks); }

Bytes cdbWrite10(uint32_t lba, uint16_t blocks) { return cdb10(0x2A, lba, blocks); }

Bytes cdbSynchronizeCache10() { return cdb10(0x35, 0, 0); }

bool parseReadCapacity10(std::span<const uint8_t> data, uint32_t& lastLba, uint32_t& blockSize) {
  if (data.size() < 8) return false;
  lastLba = getBe32(data.data());
  blockSize = getBe32(data.data() + 4);
  return blockSize != 0;
}

}  // namespace usbclient
