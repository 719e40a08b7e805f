// construct.cpp: the term constructors; each builds one node block.
#include "kterm/construct.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <vector>

#include "text/escape.hpp"

namespace kovel {

namespace {

// The byte form of a command list.
std::string cmd_bytes_of(std::span<const CmdOrHole> cmds) {
  std::string out;
  for (const CmdOrHole& c : cmds) encode_cmd(out, c.kind, c.text);
  return out;
}

UnsharedKTerm make_quote(Variant v, std::string_view tag, uint8_t index, std::string_view lang,
                         KTermRef term, std::span<const CmdOrHole> cmds, std::optional<Span> span) {
  const KTerm* inner = term.get();
  UnsharedKTerm node(
      KTerm::make(v, index, tag, lang, &inner, 1, cmd_bytes_of(cmds), cmds.size(), span));
  term.release();  // the node owns that reference now
  return node;
}

// v in decimal: at most 20 characters, for INT64_MIN.
std::string decimal(int64_t v) {
  char buf[20];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

}  // namespace

UnsharedKTerm ktuple(std::string_view tag, std::span<const KTermRef> children,
                     std::span<const CmdOrHole> cmds) {
  std::vector<const KTerm*> refs;
  refs.reserve(children.size());
  for (const KTermRef& c : children) refs.push_back(c.get());
  UnsharedKTerm node(KTerm::make(Variant::Tuple, 0, tag, {}, refs.data(), checked_u32(refs.size()),
                                 cmd_bytes_of(cmds), cmds.size(), std::nullopt));
  for (const KTerm* c : refs) c->retain();  // the references node now owns
  return node;
}

KTermRef tuple(std::string_view tag, std::span<const KTermRef> children,
               std::span<const CmdOrHole> cmds) {
  return ktuple(tag, children, cmds).share();
}

UnsharedKTerm kquote_at(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
                        std::span<const CmdOrHole> cmds, std::optional<Span> span) {
  return make_quote(Variant::Quote, tag, index, lang, std::move(term), cmds, span);
}

UnsharedKTerm kunquote_at(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
                          std::span<const CmdOrHole> cmds, std::optional<Span> span) {
  return make_quote(Variant::Unquote, tag, index, lang, std::move(term), cmds, span);
}

KTermRef quote(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
               std::span<const CmdOrHole> cmds) {
  return kquote_at(tag, index, lang, std::move(term), cmds, std::nullopt).share();
}

KTermRef unquote(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
                 std::span<const CmdOrHole> cmds) {
  return kunquote_at(tag, index, lang, std::move(term), cmds, std::nullopt).share();
}

KTermRef lift_int(int64_t v) { return leaf("integer", decimal(v)); }

KTermRef lift_str(std::string_view s) {
  const std::array<KTermRef, 3> parts = {leaf("string_start", "\""), leaf("string_content", s),
                                         leaf("string_end", "\"")};
  const std::array<CmdOrHole, 3> holes = {hole(), hole(), hole()};
  return tuple("string", parts, holes);
}

KTermRef lift_html_int(int64_t v) { return leaf("text", decimal(v)); }

KTermRef lift_html_str(std::string_view s) {
  std::string escaped;
  escaped.reserve(s.size());  // never shorter than the text
  text::append_html_escaped(escaped, s);
  return leaf("text", escaped);
}

}  // namespace kovel
