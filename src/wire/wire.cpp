// wire.cpp: bounded varint and text reads, UTF-8 validation, the decode messages.
#include "wire/wire.hpp"

#include <cstring>

namespace kovel::wire {

std::string_view message(DecodeError e) noexcept {
  switch (e) {
    case DecodeError::None:
      return "";
    case DecodeError::EndOfInput:
      return "Hit the end of buffer, expected more data";
    case DecodeError::BadVarint:
      return "Found a varint that didn't terminate. Is the usize too big for this platform?";
    case DecodeError::BadUtf8:
      return "Tried to parse invalid utf-8";
    case DecodeError::BadOption:
      return "Found an Option discriminant that wasn't 0 or 1";
    case DecodeError::BadVariant:
      return "Serde Deserialization Error";
  }
  return "";
}

bool Reader::varint(uint64_t& v, unsigned max_bytes, uint8_t last_max) noexcept {
  uint64_t out = 0;
  for (unsigned i = 0; i < max_bytes; ++i) {
    if (p_ == end_) return fail(DecodeError::EndOfInput);
    auto b = static_cast<uint8_t>(*p_++);
    if (i + 1 == max_bytes && b > last_max) return fail(DecodeError::BadVarint);
    out |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) {
      if (b == 0) overlong_ = true;  // a zero final group after others adds nothing
      v = out;
      return true;
    }
  }
  return fail(DecodeError::BadVarint);  // unreachable: the last byte has bit 0x80 clear
}

bool valid_utf8(std::string_view s) noexcept {
  auto p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* end = p + s.size();
  while (p < end) {
    // Skip ASCII eight bytes at a time.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p == end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      if (c == 0xE0)
        lo = 0xA0;  // overlong
      else if (c == 0xED)
        hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      if (c == 0xF0)
        lo = 0x90;  // overlong
      else if (c == 0xF4)
        hi = 0x8F;  // past U+10FFFF
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) <= need) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t i = 2; i <= need; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += need + 1;
  }
  return true;
}

}  // namespace kovel::wire
