// A block device seen as one file of bytes: reads and writes at any offset
// and length become whole-block reads and writes (partial blocks at the
// edges are read, patched and written back).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tools/usbclient/block_device.h"

namespace usbclient {

class DiskImage {
 public:
  explicit DiskImage(BlockDevice& device) : device_(device) {}

  uint64_t size() const { return device_.blockCount() * device_.blockSize(); }
  // Bytes read (short at the end of the disk), or -1.
  long read(uint64_t offset, size_t length, uint8_t* out);
  // Bytes written (short at the end of the disk), or -1.
  long write(uint64_t offset, size_t length, const uint8_t* data);

 private:
  BlockDevice& device_;
};

}  // namespace usbclient
