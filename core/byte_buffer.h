#pragma once
// ByteBuffer: the growable byte buffer connections read into. It either owns
// its memory (allocated by reserve) or uses memory lent by a caller, which it
// never frees.
#include <cstdarg>
#include <cstdint>

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer() { release(); }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // all fields zero; memory is neither freed nor kept
  void init();
  // drops memory the buffer does not own, without freeing it
  void forget() { init(); }
  void rewind();
  // frees owned memory; all fields zero
  void release();
  // At least size bytes at data with cursor = data and length 0: owned
  // memory that is big enough is reused. 0 when allocation failed.
  int reserve(int size);
  // Uses size bytes of the caller's memory (never freed by the buffer).
  void lend(void* memory, int size);
  // Formats behind the valid bytes, clipped to the room left (the clipped
  // text carries no terminator into the data); returns the formatted length,
  // 0 on a formatting error.
  int appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  std::uint8_t* data() const { return data_; }
  int capacity() const { return capacity_; }
  bool owned() const { return owned_ != 0; }
  std::uint8_t* cursor() const { return cursor_; }
  int length() const { return length_; }
  void setLength(int length) { length_ = length; }
  // bytes free behind the valid ones
  int room() const;
  // Consumes count bytes from the front of the valid bytes.
  void advance(int count);

 private:
  std::uint8_t* data_ = nullptr;
  int capacity_ = 0;
  int owned_ = 0;
  std::uint8_t* cursor_ = nullptr;
  int length_ = 0;
};
