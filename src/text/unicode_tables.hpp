// unicode_tables.hpp: the generated Unicode lookups behind repr literals (internal).
#pragma once

namespace kovel::text {

/// True when cp is Grapheme_Extend or not printable (Cc Cf Cs Co Cn Zl Zp, or Zs but U+0020),
/// so a repr literal writes it as \u{x}. Any value past U+10FFFF counts as unassigned.
bool needs_unicode_escape(char32_t cp) noexcept;

}  // namespace kovel::text
