// strcmd.cpp: command constructors and the byte form of a string command.
#include "strcmd/strcmd.hpp"

#include <algorithm>
#include <new>

namespace kovel {

StrCmd write(std::string_view s) { return StrCmd{CmdKind::Write, std::string(s)}; }

StrCmd push(std::string_view s) { return StrCmd{CmdKind::Push, std::string(s)}; }

void encode_strcmd(std::string& out, CmdKind k, std::string_view t) {
  out.push_back(static_cast<char>(k));
  if (has_text(k)) wire::put_text(out, t);
}

void ByteBuffer::grow(size_t more) {
  if (more > SIZE_MAX / 2 - size_) throw std::bad_alloc();
  size_t cap = std::max({size_ + more, 2 * cap_, size_t{256}});
  void* p = std::realloc(data_, cap);
  if (!p) throw std::bad_alloc();
  data_ = static_cast<char*>(p);
  cap_ = cap;
}

}  // namespace kovel
