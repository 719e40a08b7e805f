// cmd_or_hole.cpp: decoding a command-list entry.
#include "term/cmd_or_hole.hpp"

namespace kovel {

bool decode_cmd(wire::Reader& r, CmdKind& k, std::string_view& t) noexcept {
  uint32_t v;
  if (!r.variant(v)) return false;
  if (v == 1) {
    k = CmdKind::HOLE;
    t = {};
    return true;
  }
  if (v != 0) return r.fail(wire::DecodeError::BadVariant);
  return decode_strcmd(r, k, t);
}

}  // namespace kovel
