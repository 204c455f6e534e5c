// A cursor that writes XDR (big-endian, 4-byte aligned) into a fixed buffer. Every write
// is bounds-checked, in every build: running past the end is a broken invariant of the
// encoder and stops the process instead of corrupting memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wendrel {

class XdrWriter {
 public:
  XdrWriter(uint8_t* buffer, size_t capacity, size_t offset = 0)
      : buffer_(buffer), capacity_(capacity), offset_(offset) {
    require(0);
  }

  void u32(uint32_t value) {
    require(4);
    uint8_t* out = buffer_ + offset_;
    out[0] = static_cast<uint8_t>(value >> 24);
    out[1] = static_cast<uint8_t>(value >> 16);
    out[2] = static_cast<uint8_t>(value >> 8);
    out[3] = static_cast<uint8_t>(value);
    offset_ += 4;
  }

  void u64(uint64_t value) {
    u32(static_cast<uint32_t>(value >> 32));
    u32(static_cast<uint32_t>(value));
  }

  // Opaque bytes followed by zeros up to the next multiple of 4.
  void bytes(const uint8_t* data, size_t size) {
    const size_t padded = paddedSize(size);
    require(padded);
    if (size > 0)
      std::memcpy(buffer_ + offset_, data, size);
    std::memset(buffer_ + offset_ + size, 0, padded - size);
    offset_ += padded;
  }

  size_t offset() const { return offset_; }

  static constexpr size_t paddedSize(size_t size) { return (size + 3) & ~size_t{3}; }

 private:
  void require(size_t size) const {
    if (offset_ > capacity_ || capacity_ - offset_ < size)
      overflow(size);
  }

  [[noreturn]] void overflow(size_t size) const {
    std::fprintf(stderr, "XdrWriter: %zu bytes at offset %zu exceed the %zu-byte buffer\n", size,
                 offset_, capacity_);
    std::abort();
  }

  uint8_t* buffer_;
  size_t capacity_;
  size_t offset_;
};

}  // namespace wendrel
