// byte_buffer.hpp: the growable byte sink that emission writes into.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "wire/wire.hpp"

namespace kovel {

/// A growable byte buffer on malloc and realloc. Unlike a std::string, growing it does not
/// copy what is written: realloc extends the block in place or, for a large one, remaps its
/// pages, so that a long output is written once.
class ByteBuffer {
 public:
  ByteBuffer() noexcept = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  ~ByteBuffer() { std::free(data_); }

  size_t size() const noexcept { return size_; }
  /// Bytes the block can hold; never less than size(). For tests and diagnostics.
  size_t capacity() const noexcept { return cap_; }
  const char* data() const noexcept { return data_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  /// Appends n bytes; throws std::bad_alloc when memory runs out.
  void append(const char* p, size_t n) {
    if (n > 16 || cap_ - size_ < 16) {
      if (n == 0) return;
      if (n > cap_ - size_) grow(n);
      std::memcpy(data_ + size_, p, n);
    } else {
      wire::copy_short(data_ + size_, p, n);
    }
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void push_back(char c) {
    if (size_ == cap_) grow(1);
    data_[size_++] = c;
  }

 private:
  /// Makes room for `more` bytes past size(), at least doubling the capacity.
  void grow(size_t more);

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

}  // namespace kovel
