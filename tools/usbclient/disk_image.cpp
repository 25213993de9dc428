#include "tools/usbclient/disk_image.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace usbclient {

long DiskImage::read(uint64_t offset, size_t length, uint8_t* out) {
  uint64_t total = size();
  if (offset >= total) return 0;
  length = static_cast<size_t>(std::min<uint64_t>(length, total - offset));
  if (length == 0) return 0;
  const uint64_t bs = device_.blockSize();
  uint64_t first = offset / bs;
  uint64_t last = (offset + length - 1) / bs;
  uint32_t count = static_cast<uint32_t>(last - first + 1);
  if (offset % bs == 0 && length % bs == 0)
    return device_.readBlocks(first, count, out) == 0 ? static_cast<long>(length) : -1;
  std::vector<uint8_t> buf(count * bs);
  if (device_.readBlocks(first, count, buf.data()) != 0) return -1;
  std::memcpy(out, buf.data() + (offset - first * bs), length);
  return static_cast<long>(length);
}

long DiskImage::write(uint64_t offset, size_t length, const uint8_t* data) {
  uint64_t total = size();
  if (offset >= total) return length == 0 ? 0 : -1;
  length = static_cast<size_t>(std::min<uint64_t>(length, total - offset));
  if (length == 0) return 0;
  const uint64_t bs = device_.blockSize();
  uint64_t first = offset / bs;
  uint64_t last = (offset + length - 1) / bs;
  uint32_t count = static_cast<uint32_t>(last - first + 1);
  if (offset % bs == 0 && length % bs == 0)
    return device_.writeBlocks(first, count, data) == 0 ? static_cast<long>(length) : -1;
  // Only the two edge blocks hold bytes that must survive.
  std::vector<uint8_t> buf(count * bs);
  uint64_t head = offset - first * bs;
  if (head != 0 && device_.readBlocks(first, 1, buf.data()) != 0) return -1;
  uint64_t end = head + length;
  if (end % bs != 0 && (last != first || head == 0) &&
      device_.readBlocks(last, 1, buf.data() + (count - 1) * bs) != 0)
    return -1;
  std::memcpy(buf.data() + head, data, length);
  return device_.writeBlocks(first, count, buf.data()) == 0 ? static_cast<long>(length) : -1;
}

}  // namespace usbclient
