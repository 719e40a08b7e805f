// escape.cpp: repr literals and HTML escaping over UTF-8 text.
#include "text/escape.hpp"

#include <array>
#include <cstdint>

#include "text/unicode_tables.hpp"

namespace kovel::text {
namespace {

// Bytes of text escaped between two polls.
constexpr ptrdiff_t kSlice = ptrdiff_t{1} << 20;

// What an ASCII byte becomes in a repr literal.
enum class Ascii : uint8_t { Plain, Short, Unicode };

constexpr std::array<Ascii, 128> make_ascii_kinds() {
  std::array<Ascii, 128> kinds{};
  for (unsigned b = 0; b < 128; ++b) {
    kinds[b] = (b >= 0x20 && b < 0x7F) ? Ascii::Plain : Ascii::Unicode;
  }
  for (unsigned char b : {'\0', '\t', '\r', '\n', '\\', '"'}) kinds[b] = Ascii::Short;
  return kinds;
}

constexpr std::array<Ascii, 128> kAsciiKinds = make_ascii_kinds();

// The two-character escape of a byte whose kind is Ascii::Short.
char short_escape(unsigned char b) noexcept {
  switch (b) {
    case '\0':
      return '0';
    case '\t':
      return 't';
    case '\r':
      return 'r';
    case '\n':
      return 'n';
    default:
      return static_cast<char>(b);  // backslash and double quote escape as themselves
  }
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char buf[16];
  char* end = buf + sizeof buf;
  char* p = end;
  *--p = '}';
  do {
    *--p = "0123456789abcdef"[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  *--p = '{';
  *--p = 'u';
  *--p = '\\';
  out.append(p, static_cast<size_t>(end - p));
}

// Decodes the non-ASCII sequence at p. The input is trusted to be valid UTF-8; the length is
// still clamped to what is left, so a malformed tail cannot make us read past end.
char32_t decode_multibyte(const unsigned char* p, const unsigned char* end, size_t& len) noexcept {
  unsigned char lead = *p;
  char32_t cp;
  if (lead >= 0xF0) {
    len = 4;
    cp = lead & 0x07;
  } else if (lead >= 0xE0) {
    len = 3;
    cp = lead & 0x0F;
  } else if (lead >= 0xC0) {
    len = 2;
    cp = lead & 0x1F;
  } else {
    len = 1;  // stray continuation byte
    return lead;
  }
  if (len > static_cast<size_t>(end - p)) len = static_cast<size_t>(end - p);
  for (size_t i = 1; i < len; ++i) cp = (cp << 6) | (p[i] & 0x3F);
  return cp;
}

// Bytes that klift_html replaces; all of them are ASCII, so UTF-8 sequences pass untouched.
constexpr std::array<bool, 256> make_html_replaced() {
  std::array<bool, 256> replaced{};
  for (unsigned char b : {'"', '&', '\'', '<', '>'}) replaced[b] = true;
  return replaced;
}

constexpr std::array<bool, 256> kHtmlReplaced = make_html_replaced();

std::string_view html_entity(char c) noexcept {
  switch (c) {
    case '"':
      return "&quot;";
    case '&':
      return "&amp;";
    case '\'':
      return "&#x27;";
    case '<':
      return "&lt;";
    default:
      return "&gt;";
  }
}

}  // namespace

void append_repr_literal(std::string& out, std::string_view utf8, Poll poll) {
  out.reserve(out.size() + utf8.size() + 2);
  out.push_back('"');
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  const auto* run = p;  // start of the bytes copied as they are
  auto flush = [&] {
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
  };
  while (p != end) {
    // A printed term can be far longer than the term: poll between slices of the text.
    const auto* slice_end = end - p > kSlice ? p + kSlice : end;
    while (p < slice_end) {
      unsigned char b = *p;
      if (b < 0x80) {
        Ascii kind = kAsciiKinds[b];
        if (kind == Ascii::Plain) {
          ++p;
          continue;
        }
        flush();
        if (kind == Ascii::Short) {
          out.push_back('\\');
          out.push_back(short_escape(b));
        } else {
          append_unicode_escape(out, b);
        }
        run = ++p;
        continue;
      }
      size_t len;
      char32_t cp = decode_multibyte(p, end, len);
      if (needs_unicode_escape(cp)) {
        flush();
        append_unicode_escape(out, cp);
        run = p + len;
      }
      p += len;
    }
    if (poll && p != end) poll();
  }
  flush();
  out.push_back('"');
}

void append_html_escaped(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size());
  const char* p = utf8.data();
  const char* end = p + utf8.size();
  const char* run = p;
  for (; p != end; ++p) {
    if (!kHtmlReplaced[static_cast<unsigned char>(*p)]) continue;
    out.append(run, static_cast<size_t>(p - run));
    out.append(html_entity(*p));
    run = p + 1;
  }
  out.append(run, static_cast<size_t>(end - run));
}

}  // namespace kovel::text
