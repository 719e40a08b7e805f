// cmd_or_hole.hpp: one command-list entry (a string command or HOLE) and its byte form.
#pragma once

#include <string>
#include <string_view>

#include "strcmd/strcmd.hpp"
#include "wire/wire.hpp"

namespace kovel {

/// One entry of a node's command list: a string command, or the child placeholder HOLE.
struct CmdOrHole {
  CmdKind kind = CmdKind::HOLE;
  std::string text;  // the Write or Push text; empty otherwise

  CmdOrHole() = default;
  CmdOrHole(CmdKind k, std::string t) : kind(k), text(std::move(t)) {}
  /// The command alternative: a copy of c.
  explicit CmdOrHole(const StrCmd& c) : kind(c.kind), text(c.text) {}

  bool is_hole() const noexcept { return kind == CmdKind::HOLE; }
  friend bool operator==(const CmdOrHole&, const CmdOrHole&) = default;
};

/// The placeholder entry.
inline CmdOrHole hole() { return CmdOrHole{}; }

/// A borrowed look at one entry.
struct CmdView {
  CmdKind kind;
  std::string_view text;

  CmdOrHole owned() const { return CmdOrHole(kind, std::string(text)); }
  friend bool operator==(const CmdView&, const CmdView&) = default;
};

/// Appends the byte form of one entry: 0x01 for HOLE, else 0x00 and the string command.
inline void encode_cmd(std::string& out, CmdKind k, std::string_view t) {
  if (k == CmdKind::HOLE) {
    out.push_back('\x01');
    return;
  }
  out.push_back('\x00');
  encode_strcmd(out, k, t);
}

/// Reads one entry from untrusted bytes; t points into the input.
inline bool decode_cmd(wire::Reader& r, CmdKind& k, std::string_view& t) noexcept {
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

/// Reads one entry from bytes written by encode_cmd; advances p.
inline CmdView next_cmd(const char*& p) noexcept {
  if (*p++ == '\x01') return {CmdKind::HOLE, {}};
  auto k = static_cast<CmdKind>(*p++);
  if (!has_text(k)) return {k, {}};
  auto n = static_cast<size_t>(wire::get_trusted_varint(p));
  std::string_view t(p, n);
  p += n;
  return {k, t};
}

}  // namespace kovel
