// strcmd.cpp: command constructors and the byte form of a string command.
#include "strcmd/strcmd.hpp"

namespace kovel {

StrCmd write(std::string_view s) { return StrCmd{CmdKind::Write, std::string(s)}; }

StrCmd push(std::string_view s) { return StrCmd{CmdKind::Push, std::string(s)}; }

void encode_strcmd(std::string& out, CmdKind k, std::string_view t) {
  out.push_back(static_cast<char>(k));
  if (has_text(k)) wire::put_text(out, t);
}

}  // namespace kovel
