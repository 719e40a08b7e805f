// test_util.hpp: short spellings of commands and terms for the core tests.
#pragma once

#include <string>
#include <vector>

#include "kterm/builder.hpp"
#include "kterm/construct.hpp"
#include "kterm/kterm.hpp"

namespace kovel::testing {

inline CmdOrHole W(std::string s) { return CmdOrHole(CmdKind::Write, std::move(s)); }
inline CmdOrHole P(std::string s) { return CmdOrHole(CmdKind::Push, std::move(s)); }
inline const CmdOrHole NLc{CmdKind::NL, ""};
inline const CmdOrHole POPc{CmdKind::POP, ""};
inline const CmdOrHole H{};

using Cmds = std::vector<CmdOrHole>;
using Kids = std::vector<KTermRef>;

inline std::vector<CmdOrHole> cmds_of(const KTerm& t) {
  std::vector<CmdOrHole> out;
  for (CmdView c : t.cmds()) out.push_back(c.owned());
  return out;
}

inline std::string hex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

inline std::string unhex(std::string_view h) {
  std::string out;
  int hi = -1;
  for (char c : h) {
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<char>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

}  // namespace kovel::testing
