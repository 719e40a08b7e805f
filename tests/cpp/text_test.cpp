// text_test.cpp: repr literal and HTML escaping, including the Unicode table edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "text/escape.hpp"
#include "text/unicode_tables.hpp"

namespace {

using namespace std::string_view_literals;

std::string repr(std::string_view s) {
  std::string out;
  kovel::text::append_repr_literal(out, s);
  return out;
}

std::string html(std::string_view s) {
  std::string out;
  kovel::text::append_html_escaped(out, s);
  return out;
}

struct EscapeCase {
  const char* name;
  std::string_view input;
  std::string_view expected;
};

std::string case_name(const testing::TestParamInfo<EscapeCase>& info) { return info.param.name; }

class ReprLiteralTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(ReprLiteralTest, WritesTheExpectedLiteral) {
  EXPECT_EQ(repr(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ShortEscapes, ReprLiteralTest,
    testing::Values(EscapeCase{"Empty", "", R"("")"}, EscapeCase{"Nul", "a\0b"sv, R"("a\0b")"},
                    EscapeCase{"TabAndSingleQuotes", "a\t'b'", R"("a\t'b'")"},
                    EscapeCase{"CrLf", "x\r\ny", R"("x\r\ny")"},
                    EscapeCase{"Backslash", "a\\b", R"("a\\b")"},
                    EscapeCase{"PrintCall", "print(\"hi\")\n", R"("print(\"hi\")\n")"},
                    EscapeCase{"PrintableAscii", " ~!#$%&()*+,-./09:;<=>?@AZ[]^_`az{|}",
                               R"(" ~!#$%&()*+,-./09:;<=>?@AZ[]^_`az{|}")"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    UnicodeEscapes, ReprLiteralTest,
    testing::Values(EscapeCase{"Bell", "\a", R"("\u{7}")"},
                    EscapeCase{"Escape", "\x1b[0m", R"("\u{1b}[0m")"},
                    EscapeCase{"Delete", "\x7f", R"("\u{7f}")"},
                    EscapeCase{"C1Nel", "\u0085", R"("\u{85}")"},
                    EscapeCase{"Nbsp", "a\u00a0b", R"("a\u{a0}b")"},
                    EscapeCase{"SoftHyphen", "\u00ad", R"("\u{ad}")"},
                    EscapeCase{"ZeroWidthSpace", "a\u200bb", R"("a\u{200b}b")"},
                    EscapeCase{"Zwj", "\u200d", R"("\u{200d}")"},
                    EscapeCase{"CombiningAcute", "e\u0301", R"("e\u{301}")"},
                    // Grapheme_Extend wins over printable (Lm and Mc here).
                    EscapeCase{"HalfwidthVoicedMark", "\uff9e", R"("\u{ff9e}")"},
                    EscapeCase{"TamilVowelSignAa", "\u0bbe", R"("\u{bbe}")"},
                    EscapeCase{"VariationSelectorAstral", "\U000e0100", R"("\u{e0100}")"},
                    EscapeCase{"LineSeparator", "\u2028", R"("\u{2028}")"},
                    EscapeCase{"ParagraphSeparator", "\u2029", R"("\u{2029}")"},
                    EscapeCase{"IdeographicSpace", "\u3000", R"("\u{3000}")"},
                    EscapeCase{"PrivateUseBmp", "\ue000", R"("\u{e000}")"},
                    EscapeCase{"PrivateUsePlane16", "\U0010fffd", R"("\u{10fffd}")"},
                    EscapeCase{"UnassignedGreek", "\xcd\xb8", R"("\u{378}")"},
                    EscapeCase{"UnassignedPlane5", "\xf1\x90\x80\x80", R"("\u{50000}")"},
                    EscapeCase{"Noncharacter", "\xef\xbf\xbe", R"("\u{fffe}")"},
                    EscapeCase{"LastCodePoint", "\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},
                    EscapeCase{"LanguageTag", "\U000e0001", R"("\u{e0001}")"},
                    EscapeCase{"Bom", "\ufeff", R"("\u{feff}")"},
                    EscapeCase{"EnSpace", "\u2002", R"("\u{2002}")"},
                    EscapeCase{"EnclosingMark", "\u0488", R"("\u{488}")"},
                    EscapeCase{"ZeroWidthNonJoiner", "\u200c", R"("\u{200c}")"},
                    EscapeCase{"TagLetter", "\U000e0041", R"("\u{e0041}")"},
                    // Spacing marks that are Grapheme_Extend, in the BMP and beyond it.
                    EscapeCase{"BengaliVowelSignAa", "\u09be", R"("\u{9be}")"},
                    EscapeCase{"MusicalCombiningStem", "\U0001d165", R"("\u{1d165}")"}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Unchanged, ReprLiteralTest,
    testing::Values(EscapeCase{"Latin", "h\u00e9llo", "\"h\u00e9llo\""},
                    EscapeCase{"Cjk", "\u4e2d\u6587", "\"\u4e2d\u6587\""},
                    EscapeCase{"HangulRangeEnds", "\uac00\ud7a3", "\"\uac00\ud7a3\""},
                    EscapeCase{"CjkExtBRangeEnds", "\U00020000\U0002a6df",
                               "\"\U00020000\U0002a6df\""},
                    EscapeCase{"AstralMathLetter", "\U0001d400", "\"\U0001d400\""},
                    EscapeCase{"Emoji", "\U0001f600\U0001f44d", "\"\U0001f600\U0001f44d\""},
                    EscapeCase{"ReplacementChar", "\ufffd", "\"\ufffd\""},
                    EscapeCase{"SingleQuote", "'", "\"'\""},
                    // A spacing mark that is not Grapheme_Extend; a letter beside U+FF9E.
                    EscapeCase{"DevanagariVisarga", "\u0903", "\"\u0903\""},
                    EscapeCase{"HalfwidthKa", "\uff76", "\"\uff76\""}),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    RangeEdges, ReprLiteralTest,
    testing::Values(EscapeCase{"AfterHangul", "\uac00\xed\x9e\xa4", "\"\uac00\\u{d7a4}\""},
                    EscapeCase{"Latin1Start", "\u00a0\u00a1", "\"\\u{a0}\u00a1\""},
                    EscapeCase{"SoftHyphenBothSides", "\u00ac\u00ad\u00ae",
                               "\"\u00ac\\u{ad}\u00ae\""},
                    EscapeCase{"CombiningMarksStart", "\u02ff\u0300", "\"\u02ff\\u{300}\""},
                    EscapeCase{"CombiningMarksEnd", "\u036f\u0370", "\"\\u{36f}\u0370\""},
                    EscapeCase{"UnassignedAfterGreek", "\u0377\xcd\xb8", "\"\u0377\\u{378}\""},
                    EscapeCase{"SpecialsStart", "\ufffb\ufffc", "\"\\u{fffb}\ufffc\""},
                    EscapeCase{"AfterCjkExtB", "\xf0\xaa\x9b\xa0", R"("\u{2a6e0}")"},
                    EscapeCase{"MixedRuns", "a\u00e9\u200b\u4e2d\n\U0001f600\u0301z",
                               "\"a\u00e9\\u{200b}\u4e2d\\n\U0001f600\\u{301}z\""}),
    case_name);

TEST(ReprLiteral, AppendsToExistingText) {
  std::string out = "KTerm(";
  kovel::text::append_repr_literal(out, "42");
  EXPECT_EQ(out, R"(KTerm("42")");
}

// Equality of two long texts, reported by the first byte that differs: printing megabytes of
// text for a failure can take more memory than the machine has.
testing::AssertionResult same_long_text(std::string_view got, std::string_view want) {
  if (got == want) return testing::AssertionSuccess();
  auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
  return testing::AssertionFailure()
         << "sizes " << got.size() << " and " << want.size() << ", first difference at byte " << at
         << ": " << testing::PrintToString(got.substr(at, 32)) << " vs "
         << testing::PrintToString(want.substr(at, 32));
}

int polls = 0;
void count_poll() { ++polls; }
void stop_poll() {
  ++polls;
  throw std::runtime_error("stop");
}

// A repr literal can be far longer than the term it shows: escaping one long text must let
// the caller interrupt it, not only the emission before it.
TEST(ReprLiteral, PollsWhileEscapingOneLongText) {
  constexpr std::string_view unit = "a\u00e9\n\u200b";
  constexpr size_t count = (size_t{8} << 20) / unit.size() + 1;
  std::string text, expected = "\"";
  for (size_t i = 0; i < count; ++i) {
    text += unit;
    expected += "a\u00e9\\n\\u{200b}";
  }
  expected += '"';
  polls = 0;
  std::string out;
  kovel::text::append_repr_literal(out, text, count_poll);
  EXPECT_TRUE(same_long_text(out, expected));
  EXPECT_GE(polls, 4) << "a poll at least every 2 MiB of text";

  polls = 0;
  out.clear();
  EXPECT_THROW(kovel::text::append_repr_literal(out, text, stop_poll), std::runtime_error);
  EXPECT_EQ(polls, 1);
  EXPECT_LT(out.size(), expected.size() / 2) << "the escaping went on past the throwing poll";
}

// The ASCII fast path and the generated table must agree on every ASCII character they share.
TEST(ReprLiteral, AsciiFastPathMatchesTable) {
  for (char32_t c = 0; c < 0x80; ++c) {
    if (std::string_view("\0\t\r\n\\\"", 6).find(static_cast<char>(c)) != std::string_view::npos) {
      continue;
    }
    std::string one(1, static_cast<char>(c));
    bool escaped = repr(one) != "\"" + one + "\"";
    EXPECT_EQ(escaped, kovel::text::needs_unicode_escape(c))
        << "U+" << std::hex << static_cast<uint32_t>(c);
  }
}

TEST(UnicodeTable, Spaces) {
  EXPECT_FALSE(kovel::text::needs_unicode_escape(U' '));
  for (char32_t zs :
       {U'\u00a0', U'\u1680', U'\u2000', U'\u200a', U'\u202f', U'\u205f', U'\u3000'}) {
    EXPECT_TRUE(kovel::text::needs_unicode_escape(zs))
        << "U+" << std::hex << static_cast<uint32_t>(zs);
  }
}

TEST(UnicodeTable, SurrogatesAndBeyondRange) {
  EXPECT_TRUE(kovel::text::needs_unicode_escape(0xD800));
  EXPECT_TRUE(kovel::text::needs_unicode_escape(0xDFFF));
  EXPECT_FALSE(kovel::text::needs_unicode_escape(0xD7FB));  // last Hangul Jamo Extended-B
  EXPECT_TRUE(kovel::text::needs_unicode_escape(0x110000));
  EXPECT_TRUE(kovel::text::needs_unicode_escape(0xFFFFFFFF));
}

class HtmlEscapeTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(HtmlEscapeTest, WritesTheExpectedText) {
  EXPECT_EQ(html(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, HtmlEscapeTest,
    testing::Values(EscapeCase{"Empty", "", ""},
                    EscapeCase{"Anchor", "<a href=\"x\">Tom & Jerry's</a>",
                               "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#x27;s&lt;/a&gt;"},
                    EscapeCase{"OnlyReplacedChars", "\"&'<>", "&quot;&amp;&#x27;&lt;&gt;"},
                    EscapeCase{"ExistingEntityEscapedAgain", "&amp;", "&amp;amp;"},
                    EscapeCase{"NonAsciiAndControls", "h\u00e9llo\n\t\0\u4e2d\U0001f600"sv,
                               "h\u00e9llo\n\t\0\u4e2d\U0001f600"sv},
                    EscapeCase{"ReprEscapesUntouched", "a\\b\u200b", "a\\b\u200b"}),
    case_name);

TEST(HtmlEscape, AppendsToExistingText) {
  std::string out = "<p>";
  kovel::text::append_html_escaped(out, "1 < 2");
  EXPECT_EQ(out, "<p>1 &lt; 2");
}

}  // namespace
