// strcmd.cpp: command constructors and the byte form of a string command.
#include "strcmd/strcmd.hpp"

namespace kovel {

StrCmd write(std::string_view s) { return StrCmd{CmdKind::Write, std::string(s)}; }

StrCmd push(std::string_view s) { return StrCmd{CmdKind::Push, std::string(s)}; }

void encode_strcmd(std::string& out, CmdKind k, std::string_view t) {
  out.push_back(static_cast<char>(k));
  if (has_text(k)) wire::put_text(out, t);
}

bool decode_strcmd(wire::Reader& r, CmdKind& k, std::string_view& t) noexcept {
  uint32_t v;
  if (!r.variant(v)) return false;
  if (v > 3) return r.fail(wire::DecodeError::BadVariant);
  k = static_cast<CmdKind>(v);
  t = {};
  return !has_text(k) || r.text(t);
}

}  // namespace kovel
