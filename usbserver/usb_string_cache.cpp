#include "usbserver/usb_string_cache.h"

const UsbStringCache::Entry* UsbStringCache::find(uint16_t language, uint8_t index) const {
  for (const Entry& e : entries_) {
    if (e.index == index && e.language == language) return &e;
  }
  return nullptr;
}

void UsbStringCache::add(uint16_t language, uint8_t index, const uint8_t* bytes, size_t length) {
  if (find(language, index)) return;
  if (entries_.size() >= kCapacity) entries_.pop_back();
  Entry e;
  e.index = index;
  e.language = language;
  if (length > 0) e.bytes.assign(bytes, bytes + length);
  entries_.push_front(std::move(e));
}
