#include "usbserver/urb_record.h"

#include <new>

std::atomic<int> urbPopulation{0};

UrbRecord::UrbRecord() { urbPopulation.fetch_add(1, std::memory_order_relaxed); }

UrbRecord::~UrbRecord() { urbPopulation.fetch_sub(1, std::memory_order_relaxed); }

bool UrbRecord::allocateParts(int count) {
  urbs.reset(new (std::nothrow) usbdevfs_urb[count]());
  if (!urbs) return false;
  parts.resize(static_cast<size_t>(count));
  partCount = count;
  return true;
}

int UrbRecord::partIndexOf(const usbdevfs_urb* urb) const {
  for (int i = 0; i < partCount; ++i) {
    if (&urbs[i] == urb) return i;
  }
  return -1;
}
