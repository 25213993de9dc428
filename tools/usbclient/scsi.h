// Bulk-only transport wrappers (command block and status wrappers) and the
// SCSI command blocks the client sends to a mass-storage device. The
// wrappers are little-endian (USB order); the command blocks big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "tools/usbclient/wire.h"

namespace usbclient {

constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"

enum class CswStatus : uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

std::array<uint8_t, kCbwSize> buildCbw(uint32_t tag, uint32_t dataLength, bool dataIn, uint8_t lun,
                                       std::span<const uint8_t> cdb);

struct Csw {
  uint32_t tag = 0;
  uint32_t residue = 0;
  uint8_t status = 0;
};
// False when the wrapper is not 13 bytes or lacks its signature.
bool parseCsw(std::span<const uint8_t> bytes, Csw& out);

Bytes cdbTestUnitReady();
Bytes cdbRequestSense(uint8_t allocationLength);
Bytes cdbInquiry(uint8_t allocationLength);
Bytes cdbReadCapacity10();
Bytes cdbRead10(uint32_t lba, uint16_t blocks);
Bytes cdbWrite10(uint32_t lba, uint16_t blocks);
Bytes cdbSynchronizeCache10();

// READ CAPACITY(10) data: the last block's address and the block size.
bool parseReadCapacity10(std::span<const uint8_t> data, uint32_t& lastLba, uint32_t& blockSize);

}  // namespace usbclient
