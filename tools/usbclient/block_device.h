// A disk addressed in blocks. Results: 0 on success, -1 on failure (the
// device's answer or the connection; lastError() says which).
#pragma once

#include <cstdint>
#include <string>

namespace usbclient {

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
  virtual uint32_t blockSize() const = 0;
  virtual uint64_t blockCount() const = 0;
  virtual int readBlocks(uint64_t lba, uint32_t count, uint8_t* out) = 0;
  virtual int writeBlocks(uint64_t lba, uint32_t count, const uint8_t* data) = 0;
  virtual int flush() = 0;
  virtual std::string lastError() const = 0;
};

}  // namespace usbclient
