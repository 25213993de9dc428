#pragma once
// The string descriptors of one device that were read from it, kept so that
// clients' requests are answered without touching the device. A descriptor
// the device refused is kept as an empty entry and not asked for again. The
// cache is bounded: any client may ask for any (language, index) pair, so at
// capacity the oldest entry makes room. Guarded by its device entry's mutex.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

class UsbStringCache {
 public:
  static constexpr size_t kCapacity = 64;

  struct Entry {
    uint8_t index = 0;
    uint16_t language = 0;
    std::vector<uint8_t> bytes;  // empty: the device could not deliver it
  };

  const Entry* find(uint16_t language, uint8_t index) const;
  // Adds the pair unless it is cached already.
  void add(uint16_t language, uint8_t index, const uint8_t* bytes, size_t length);
  void clear() { entries_.clear(); }
  size_t size() const { return entries_.size(); }

 private:
  std::deque<Entry> entries_;  // newest first
};
