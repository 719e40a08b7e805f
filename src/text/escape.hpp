// escape.hpp: text escapes used when showing or lifting text (repr literals, HTML).
#pragma once

#include <string>
#include <string_view>

#include "poll/poll.hpp"

namespace kovel::text {

/// Appends utf8 (valid UTF-8) as a double-quoted, escaped literal: \0 \t \r \n \\ \" for
/// those characters, \u{x} for Grapheme_Extend and non-printable characters, the rest as is.
/// poll is called between slices of a long text and may throw.
void append_repr_literal(std::string& out, std::string_view utf8, Poll poll = nullptr);

/// Appends utf8 with & < > " ' replaced by &amp; &lt; &gt; &quot; &#x27; in one pass.
void append_html_escaped(std::string& out, std::string_view utf8);

}  // namespace kovel::text
