// construct.hpp: the term constructors.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "kterm/kterm.hpp"

namespace kovel {

/// A Tuple record: copies tag and cmds, takes one new reference to each child.
UnsharedKTerm ktuple(std::string_view tag, std::span<const KTermRef> children,
                     std::span<const CmdOrHole> cmds);
/// The same Tuple, shared.
KTermRef tuple(std::string_view tag, std::span<const KTermRef> children,
               std::span<const CmdOrHole> cmds);

/// A Quote record; takes over `term`.
UnsharedKTerm kquote_at(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
                        std::span<const CmdOrHole> cmds, std::optional<Span> span);
/// An Unquote record; takes over `term`.
UnsharedKTerm kunquote_at(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
                          std::span<const CmdOrHole> cmds, std::optional<Span> span);

/// A shared Quote without span; takes over `term`.
KTermRef quote(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
               std::span<const CmdOrHole> cmds);
/// A shared Unquote without span; takes over `term`.
KTermRef unquote(std::string_view tag, uint8_t index, std::string_view lang, KTermRef term,
                 std::span<const CmdOrHole> cmds);

/// "A leaf node: a tag whose only content is `code`."
inline KTermRef leaf(std::string_view tag, std::string_view code) {
  return KTermRef::adopt(KTerm::make_leaf(tag, code));
}
/// "A symbol: a leaf whose tag and code are the same."
inline KTermRef sym(std::string_view s) { return leaf(s, s); }
/// A name: the leaf tagged "identifier" whose code is s.
inline KTermRef identifier(std::string_view s) { return leaf("identifier", s); }

// The terms that lifting a value builds: an integer prints as its decimal digits, a string
// between double quotes, and the HTML forms print as entity-escaped text.

/// The leaf tagged "integer" whose code is v in decimal ("-" before a negative value).
KTermRef lift_int(int64_t v);
/// The Tuple tagged "string" with commands HOLE HOLE HOLE and three leaf children:
/// "string_start" and "string_end", each a double quote, around "string_content", s as is.
KTermRef lift_str(std::string_view s);
/// The leaf tagged "text" whose code is v in decimal.
KTermRef lift_html_int(int64_t v);
/// The leaf tagged "text" whose code is s with & < > " ' written as HTML entities.
KTermRef lift_html_str(std::string_view s);

}  // namespace kovel
