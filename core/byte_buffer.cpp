#include "core/byte_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/task_table.h"

void ByteBuffer::init() {
  data_ = nullptr;
  capacity_ = 0;
  owned_ = 0;
  cursor_ = nullptr;
  length_ = 0;
}

void ByteBuffer::rewind() {
  cursor_ = data_;
  length_ = 0;
}

void ByteBuffer::release() {
  if (owned_ != 0) std::free(data_);
  init();
}

int ByteBuffer::reserve(int size) {
  if (owned_ != 0 && capacity_ >= size) {
    rewind();
    return 1;
  }
  if (owned_ != 0) std::free(data_);
  init();
  void* memory = size > 0 ? std::malloc(static_cast<std::size_t>(size)) : nullptr;
  if (memory == nullptr) {
    std::fprintf(stderr, "FATAL ERROR MEM FAULT size:%d %s !!\n", size, currentTaskName());
    return 0;
  }
  data_ = static_cast<std::uint8_t*>(memory);
  cursor_ = data_;
  capacity_ = size;
  owned_ = 1;
  return 1;
}

void ByteBuffer::lend(void* memory, int size) {
  release();
  data_ = static_cast<std::uint8_t*>(memory);
  cursor_ = data_;
  capacity_ = size;
}

int ByteBuffer::room() const {
  if (data_ == nullptr) return 0;
  return capacity_ - static_cast<int>(cursor_ - data_) - length_;
}

void ByteBuffer::advance(int count) {
  if (count > length_) count = length_;
  cursor_ += count;
  length_ -= count;
}

int ByteBuffer::appendf(const char* format, ...) {
  const int space = room();
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  char small[256];
  int formatted = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  if (formatted < 0 || space <= 0) {
    va_end(again);
    return formatted < 0 ? 0 : formatted;
  }
  const char* text = small;
  std::string large;
  if (formatted >= static_cast<int>(sizeof small)) {
    large.resize(static_cast<std::size_t>(formatted) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    text = large.data();
  }
  va_end(again);
  const int copied = formatted < space ? formatted : space;
  std::memcpy(cursor_ + length_, text, static_cast<std::size_t>(copied));
  length_ += copied;
  return formatted;
}
