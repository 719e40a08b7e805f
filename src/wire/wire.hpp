// wire.hpp: the postcard primitives (varints, texts) and a bounded reader over untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kovel::wire {

/// The five ways a decode can fail; each maps to one fixed message.
enum class DecodeError : uint8_t {
  None = 0,
  EndOfInput,
  BadVarint,
  BadUtf8,
  BadOption,
  BadVariant,
};

/// The fixed message of a decode error ("" for None).
std::string_view message(DecodeError e) noexcept;

/// The bytes of v as a shortest-form varint.
inline size_t varint_size(uint64_t v) noexcept {
  size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

/// Writes v at p as a shortest-form varint; returns the byte after it.
inline char* write_varint(char* p, uint64_t v) noexcept {
  for (; v >= 0x80; v >>= 7) *p++ = static_cast<char>((v & 0x7F) | 0x80);
  *p++ = static_cast<char>(v);
  return p;
}

/// Appends v as a shortest-form unsigned varint.
inline void put_varint(std::string& out, uint64_t v) {
  if (v < 0x80) {
    out.push_back(static_cast<char>(v));
    return;
  }
  char buf[10];
  out.append(buf, static_cast<size_t>(write_varint(buf, v) - buf));
}

/// Appends a text: its byte length as a varint, then its bytes.
inline void put_text(std::string& out, std::string_view s) {
  put_varint(out, s.size());
  out.append(s.data(), s.size());
}

/// Reads a varint from trusted bytes (written by put_varint); advances p.
inline uint64_t get_trusted_varint(const char*& p) noexcept {
  uint64_t v = 0;
  for (unsigned shift = 0;; shift += 7) {
    auto b = static_cast<uint8_t>(*p++);
    v |= static_cast<uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
}

/// Copies n <= 16 bytes with fixed-size moves that overlap, instead of a call: most texts of
/// a term are short.
inline void copy_short(char* d, const char* s, size_t n) noexcept {
  if (n >= 8) {
    uint64_t a, b;
    std::memcpy(&a, s, 8);
    std::memcpy(&b, s + n - 8, 8);
    std::memcpy(d, &a, 8);
    std::memcpy(d + n - 8, &b, 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, s, 4);
    std::memcpy(&b, s + n - 4, 4);
    std::memcpy(d, &a, 4);
    std::memcpy(d + n - 4, &b, 4);
  } else if (n > 0) {
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
  }
}

/// Copies n bytes: up to 64 inline, in 16-byte moves that overlap, longer ones with memcpy.
inline void copy_bytes(char* d, const char* s, size_t n) noexcept {
  struct Block {
    char b[16];
  };
  auto move16 = [](char* to, const char* from) {
    Block x;
    std::memcpy(&x, from, 16);
    std::memcpy(to, &x, 16);
  };
  if (n <= 16) {
    copy_short(d, s, n);
  } else if (n <= 32) {
    move16(d, s);
    move16(d + n - 16, s + n - 16);
  } else if (n <= 64) {
    move16(d, s);
    move16(d + 16, s + 16);
    move16(d + n - 32, s + n - 32);
    move16(d + n - 16, s + n - 16);
  } else {
    std::memcpy(d, s, n);
  }
}

/// True when s is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool valid_utf8(std::string_view s) noexcept;

/// The high bit of each of eight bytes, and eight bytes read as one word: the steps of the
/// ASCII checks.
inline constexpr uint64_t kHighBits = 0x8080808080808080ull;
inline uint64_t load_word(const char* q) noexcept {
  uint64_t w;
  std::memcpy(&w, q, 8);
  return w;
}

/// True when every byte of p[0..n) is below 0x80: sixteen bytes at a time, the last few
/// through loads that overlap bytes already seen.
inline bool all_ascii(const char* p, size_t n) noexcept {
  uint64_t acc = 0;
  if (n > 16) {
    // Sixteen bytes a step, the last sixteen through loads that may overlap bytes seen.
    uint64_t acc2 = 0;
    for (; n > 16; p += 16, n -= 16) {
      acc |= load_word(p);
      acc2 |= load_word(p + 8);
    }
    acc |= acc2 | load_word(p + n - 16) | load_word(p + n - 8);
  } else if (n >= 8) {
    acc = load_word(p) | load_word(p + n - 8);
  } else if (n >= 4) {
    uint32_t a, b;
    std::memcpy(&a, p, 4);
    std::memcpy(&b, p + n - 4, 4);
    acc = a | b;
  } else if (n > 0) {  // bytes 0, n/2 and n-1 cover every byte of 1 to 3
    acc = static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[n / 2]) |
          static_cast<uint8_t>(p[n - 1]);
  }
  return (acc & kHighBits) == 0;
}

/// The first byte of [p, end) that is 0x80 or more, or end: 32 bytes a step.
inline const char* first_non_ascii(const char* p, const char* end) noexcept {
  for (; end - p >= 32; p += 32)
    if ((load_word(p) | load_word(p + 8) | load_word(p + 16) | load_word(p + 24)) & kHighBits)
      break;
  for (; end - p >= 8; p += 8)
    if (load_word(p) & kHighBits) break;
  while (p < end && !(static_cast<uint8_t>(*p) & 0x80)) ++p;
  return p;
}

/// A forward-only cursor over untrusted input; every read checks the bytes left first.
/// The first failure is remembered in `error` and later reads fail at once.
class Reader {
 public:
  explicit Reader(std::string_view in) noexcept : p_(in.data()), end_(in.data() + in.size()) {}

  size_t left() const noexcept { return static_cast<size_t>(end_ - p_); }
  /// The next unread byte.
  const char* pos() const noexcept { return p_; }
  /// The end of the input.
  const char* end() const noexcept { return end_; }
  /// Passes over n bytes already checked by the caller; n <= left().
  void skip(size_t n) noexcept { p_ += n; }
  /// True when a varint longer than its shortest form was read since the last clear.
  bool saw_overlong() const noexcept { return overlong_; }
  void clear_overlong() noexcept { overlong_ = false; }
  bool failed() const noexcept { return error != DecodeError::None; }

  /// A size: at most 10 bytes, the 10th at most 0x01.
  bool size(uint64_t& v) noexcept {
    if (p_ != end_ && !(static_cast<uint8_t>(*p_) & 0x80)) {  // one byte: the common case
      v = static_cast<uint8_t>(*p_++);
      return true;
    }
    return varint(v, 10, 0x01);
  }
  /// A variant number: at most 5 bytes, the 5th at most 0x0F.
  bool variant(uint32_t& v) noexcept {
    if (p_ != end_ && !(static_cast<uint8_t>(*p_) & 0x80)) {
      v = static_cast<uint8_t>(*p_++);
      return true;
    }
    uint64_t w;
    if (!varint(w, 5, 0x0F)) return false;
    v = static_cast<uint32_t>(w);
    return true;
  }
  /// One raw byte.
  bool byte(uint8_t& b) noexcept {
    if (p_ == end_) return fail(DecodeError::EndOfInput);
    b = static_cast<uint8_t>(*p_++);
    return true;
  }
  /// A text, validated as UTF-8; the view points into the input.
  bool text(std::string_view& s) noexcept {
    uint64_t n;
    if (!size(n)) return false;
    if (n > left()) return fail(DecodeError::EndOfInput);
    const auto len = static_cast<size_t>(n);
    if (!all_ascii(p_, len) && !valid_utf8({p_, len})) return fail(DecodeError::BadUtf8);
    s = {p_, len};
    p_ += len;
    return true;
  }

  bool fail(DecodeError e) noexcept {
    if (error == DecodeError::None) error = e;
    return false;
  }

  DecodeError error = DecodeError::None;

 private:
  /// The general varint rule (the one-byte case is read inline by size and variant).
  bool varint(uint64_t& v, unsigned max_bytes, uint8_t last_max) noexcept;

  const char* p_;
  const char* end_;
  bool overlong_ = false;
};

}  // namespace kovel::wire
