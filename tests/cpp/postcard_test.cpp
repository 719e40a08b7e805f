// postcard_test.cpp: the byte form: exact vectors, the five errors, limits and round trips.
#include "kterm/postcard.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <stdexcept>
#include <thread>

#include "alloc_watch.hpp"
#include "kterm/node_alloc.hpp"
#include "port/port.hpp"
#include "term/sterm.hpp"
#include "test_util.hpp"

namespace kovel {
namespace {

using namespace kovel::testing;
using wire::DecodeError;

const std::string kLeaf = "02 07 69 6E 74 65 67 65 72 00 01 00 00 02 34 32";
const std::string kQuote =
    "00 01 71 01 02 70 79 " + kLeaf + " 03 00 00 02 66 28 01 00 00 01 29 01 03 AC 02";
const std::string kUnquote = "01 01 75 00 06 70 79 74 68 6F 6E " + kLeaf + " 01 01 00";
const std::string kBlock = "02 05 62 6C 6F 63 6B 01 " + kLeaf +
                           " 05 00 00 05 77 68 69 6C 65 00 02 04 20 20 20 20 00 01 01 00 03";

KTermRef the_leaf() { return leaf("integer", "42"); }

DecodeError error_of(std::string_view bytes) { return from_postcard_bytes(bytes).error; }

TEST(PostcardEncode, ByteExactVectors) {
  EXPECT_EQ(hex(postcard_bytes(*the_leaf())), kLeaf);
  KTermRef q = kquote_at("q", 1, "py", the_leaf(), Cmds{W("f("), H, W(")")}, Span{3, 300}).share();
  EXPECT_EQ(hex(postcard_bytes(*q)), kQuote);
  EXPECT_EQ(hex(postcard_bytes(*unquote("u", 0, "python", the_leaf(), Cmds{H}))), kUnquote);
  KTermRef block = tuple("block", Kids{the_leaf()}, Cmds{W("while"), P("    "), NLc, H, POPc});
  EXPECT_EQ(hex(postcard_bytes(*block)), kBlock);
}

TEST(PostcardEncode, SharedChildIsWrittenEachTime) {
  KTermRef x = the_leaf();
  KTermRef t = tuple("t", Kids{x, x}, Cmds{H, H});
  std::string bytes = postcard_bytes(*t);
  EXPECT_EQ(hex(bytes), "02 01 74 02 " + kLeaf + " " + kLeaf + " 02 01 01");
  Decoded d = from_postcard_bytes(bytes);
  ASSERT_TRUE(d.ok());
  EXPECT_NE(&d.term->child(0), &d.term->child(1));
  EXPECT_TRUE(equal(d.term->child(0), d.term->child(1)));
  EXPECT_EQ(d.term->child(0).use_count(), 1u);
}

class PostcardVector : public ::testing::TestWithParam<std::string> {};

TEST_P(PostcardVector, DecodesToEqualTermWithOrWithoutTrailingBytes) {
  std::string bytes = unhex(GetParam());
  Decoded d = from_postcard_bytes(bytes);
  ASSERT_TRUE(d.ok()) << d.message();
  EXPECT_EQ(postcard_bytes(*d.term), bytes);
  for (std::string junk : {std::string("\x00", 1), std::string("\xFF\xFF"), bytes}) {
    Decoded e = from_postcard_bytes(bytes + junk);
    ASSERT_TRUE(e.ok());
    EXPECT_TRUE(equal(*d.term, *e.term));
  }
}

INSTANTIATE_TEST_SUITE_P(Vectors, PostcardVector,
                         ::testing::Values(kLeaf, kQuote, kUnquote, kBlock));

TEST(PostcardDecode, FieldsOfTheQuoteVector) {
  Decoded d = from_postcard_bytes(unhex(kQuote));
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.term->variant(), Variant::Quote);
  EXPECT_EQ(d.term->index(), 1);
  EXPECT_EQ(d.term->lang(), "py");
  EXPECT_EQ(d.term->span(), (Span{3, 300}));
  EXPECT_EQ(cmds_of(*d.term), (Cmds{W("f("), H, W(")")}));
  EXPECT_EQ(coparse(d.term), "f(42)");
}

struct ErrorCase {
  std::string hex;
  DecodeError error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << '[' << c.hex << ']'; }

class PostcardError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PostcardError, FailsWithTheMessage) {
  LiveNodes nodes;
  Decoded d = from_postcard_bytes(unhex(GetParam().hex));
  EXPECT_FALSE(d.term);
  EXPECT_EQ(nodes.count(), 0);  // every node built before the error is released
  EXPECT_EQ(d.error, GetParam().error) << GetParam().hex << " -> " << d.message();
}

const std::string kLeafCut = kLeaf.substr(0, kLeaf.size() - 3);
const std::string kLeaf03 = "03" + kLeaf.substr(2);

INSTANTIATE_TEST_SUITE_P(
    Errors, PostcardError,
    ::testing::Values(
        ErrorCase{"", DecodeError::EndOfInput}, ErrorCase{"02", DecodeError::EndOfInput},
        ErrorCase{kLeafCut, DecodeError::EndOfInput},
        ErrorCase{"02 05 61", DecodeError::EndOfInput},           // text longer than the input
        ErrorCase{"00 01 71", DecodeError::EndOfInput},           // missing index byte
        ErrorCase{"02 01 74 00 02 01", DecodeError::EndOfInput},  // one cmd of two
        ErrorCase{"00 00 00 00 " + kLeaf + " 00", DecodeError::EndOfInput},  // span tag
        ErrorCase{"00 00 00 00 " + kLeaf + " 00 01 05", DecodeError::EndOfInput},
        ErrorCase{"02 80", DecodeError::EndOfInput},  // varint cut short
        ErrorCase{"80", DecodeError::EndOfInput},     // the variant's varint cut short
        ErrorCase{"03", DecodeError::BadVariant}, ErrorCase{kLeaf03, DecodeError::BadVariant},
        ErrorCase{"02 00 00 01 02 00 00", DecodeError::BadVariant},  // command-or-hole entry 2
        ErrorCase{"02 00 00 01 00 04", DecodeError::BadVariant},     // string command 4
        ErrorCase{"80 80 80 80 10", DecodeError::BadVarint},
        ErrorCase{"80 80 80 80 80", DecodeError::BadVarint},
        ErrorCase{"80 80 80 80 00", DecodeError::EndOfInput},  // reads as Quote 0, then ends
        ErrorCase{"02 80 80 80 80 80 80 80 80 80 02", DecodeError::BadVarint},
        ErrorCase{"02 FF FF FF FF FF FF FF FF FF 01", DecodeError::EndOfInput},
        ErrorCase{"02 FF FF FF FF FF FF FF FF FF 81 00", DecodeError::BadVarint},
        ErrorCase{"02 FF FF FF FF FF FF FF FF FF FF", DecodeError::BadVarint},
        ErrorCase{"02 02 C3 28 00 00", DecodeError::BadUtf8},                   // in the tag
        ErrorCase{"01 00 00 01 FF " + kLeaf + " 00 00", DecodeError::BadUtf8},  // in lang
        ErrorCase{"02 00 00 01 00 00 01 FF", DecodeError::BadUtf8},             // in a Write
        ErrorCase{"02 00 00 01 00 02 01 FF", DecodeError::BadUtf8},             // in a Push
        ErrorCase{"00 00 00 00 " + kLeaf + " 00 02", DecodeError::BadOption},
        // A later error still wins over a good prefix.
        ErrorCase{"02 01 74 01 " + kLeaf03 + " 00", DecodeError::BadVariant}));

TEST(PostcardDecode, MessagesAreExact) {
  EXPECT_EQ(wire::message(DecodeError::EndOfInput), "Hit the end of buffer, expected more data");
  EXPECT_EQ(wire::message(DecodeError::BadVarint),
            "Found a varint that didn't terminate. Is the usize too big for this platform?");
  EXPECT_EQ(wire::message(DecodeError::BadUtf8), "Tried to parse invalid utf-8");
  EXPECT_EQ(wire::message(DecodeError::BadOption),
            "Found an Option discriminant that wasn't 0 or 1");
  EXPECT_EQ(wire::message(DecodeError::BadVariant), "Serde Deserialization Error");
}

TEST(PostcardDecode, VarintLimitsAndOverlongForms) {
  // A variant number of five bytes with its last byte at the bound is accepted.
  EXPECT_EQ(error_of(unhex("82 80 80 80 00 00 00 00")), DecodeError::None);
  EXPECT_EQ(error_of(unhex("80 80 80 80 0F")), DecodeError::BadVariant);
  // A size of ten bytes: 0x01 last is 2^63 and more; as a span bound it decodes.
  std::string big = "00 00 00 00 " + kLeaf + " 00 01 FF FF FF FF FF FF FF FF FF 01 00";
  Decoded d = from_postcard_bytes(unhex(big));
  ASSERT_TRUE(d.ok()) << d.message();
  EXPECT_EQ(d.term->span(), (Span{UINT64_MAX, 0}));
  EXPECT_EQ(hex(postcard_bytes(*d.term)), big);
  // Overlong forms read as their value and are written back in shortest form.
  std::string overlong = "02 87 00 69 6E 74 65 67 65 72 80 00 81 80 00 00 80 00 82 00 34 32";
  Decoded o = from_postcard_bytes(unhex(overlong));
  ASSERT_TRUE(o.ok()) << o.message();
  EXPECT_EQ(hex(postcard_bytes(*o.term)), kLeaf);
}

TEST(PostcardDecode, TextsAreValidatedAsUtf8) {
  // The error of bytes as a leaf's tag, which they give as its Write text too.
  auto tag = [](std::string bytes) {
    std::string in = "\x02";
    wire::put_text(in, bytes);
    in += std::string("\x00\x00", 2);
    std::string as_write("\x02\x01t\x00\x01\x00\x00", 7);
    wire::put_text(as_write, bytes);
    const DecodeError e = from_postcard_bytes(in).error;
    EXPECT_EQ(from_postcard_bytes(as_write).error, e) << hex(bytes);
    return e;
  };
  EXPECT_EQ(tag(""), DecodeError::None);
  EXPECT_EQ(tag("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBF"), DecodeError::None);
  EXPECT_EQ(tag(std::string("a\0b", 3)), DecodeError::None);
  for (const char* bad :
       {"\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xED\xA0\x80", "\xF0\x80\x80\x80",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\x80", "\xC3", "\xE2\x82", "abcdefgh\xFF",
        "\xC3\x28", "\xE2\x82\x28", "\xF0\x9F\x98\x28", "\xF0\x9F\x28\x80", "\xE2\x28\xAC"})
    EXPECT_EQ(tag(bad), DecodeError::BadUtf8) << hex(bad);
  // A sequence cut short by the end of its text, though the bytes after it would complete it.
  std::string_view whole = "\xE2\x82\xAC\xF0\x9F\x98\x80";
  for (size_t n : {1, 2, 4, 5, 6}) EXPECT_FALSE(wire::valid_utf8(whole.substr(0, n))) << n;
  EXPECT_TRUE(wire::valid_utf8(whole.substr(0, 3)));
  EXPECT_TRUE(wire::valid_utf8(whole));
  // Every length and position, past the ASCII fast path's word and tail loads: one stray
  // continuation byte or a cut-off lead byte anywhere fails, a whole sequence anywhere passes.
  for (size_t n = 1; n <= 40; ++n) {
    for (size_t at = 0; at < n; ++at) {
      std::string text(n, 'a');
      text[at] = '\x80';
      EXPECT_EQ(tag(text), DecodeError::BadUtf8) << n << " " << at;
      text[at] = '\xC3';
      EXPECT_EQ(tag(text), DecodeError::BadUtf8) << n << " " << at;
      text.insert(at + 1, 1, '\xA9');
      EXPECT_EQ(tag(text), DecodeError::None) << n << " " << at;
    }
  }
}

// Texts whose lengths take one byte or two, ending in any kind of byte, decode to themselves.
TEST(PostcardDecode, TextsAroundTheOneByteLengthEdge) {
  for (size_t n : {126, 127, 128, 129, 130}) {
    for (std::string last : {std::string("a"), std::string(1, '\0'), std::string("\xC3\xA9")}) {
      const std::string text = std::string(n - last.size(), 'a') + last;
      const KTermRef leafy = leaf(text, text);
      const KTermRef block = tuple(text, Kids{leafy}, Cmds{P(text), H, W(text)});
      for (const KTermRef& t : {leafy, block}) {
        const std::string bytes = postcard_bytes(*t);
        Decoded d = from_postcard_bytes(bytes + std::string(4, '\0'));
        ASSERT_TRUE(d.ok()) << n;
        EXPECT_TRUE(equal(*d.term, *t)) << n << " " << hex(last);
        EXPECT_EQ(postcard_bytes(*d.term), bytes);
      }
    }
  }
}

TEST(PostcardDecode, FieldsCarriedAsGiven) {
  // Index 255 and a span whose start exceeds its end survive unchanged.
  std::string in = "01 00 FF 00 " + kLeaf + " 00 01 09 02";
  Decoded d = from_postcard_bytes(unhex(in));
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d.term->index(), 255);
  EXPECT_EQ(d.term->span(), (Span{9, 2}));
  EXPECT_EQ(hex(postcard_bytes(*d.term)), in);
  // A Tuple with two HOLE entries and no children decodes; printing it faults.
  Decoded holes = from_postcard_bytes(unhex("02 01 74 00 02 01 01"));
  ASSERT_TRUE(holes.ok());
  EXPECT_THROW(coparse(holes.term), InternalFault);
}

TEST(PostcardDecode, HostileCountsReserveNothing) {
  for (const char* in : {"02 00 80 80 80 80 80 80 01",     // 2^42 children
                         "02 00 00 80 80 80 80 80 80 01",  // 2^42 commands
                         "02 00 FF FF FF FF FF FF FF FF FF 01"}) {
    std::string bytes = unhex(in);
    AllocationWatch watch;
    DecodeError e = error_of(bytes);
    EXPECT_EQ(e, DecodeError::EndOfInput) << in;
    EXPECT_LT(watch.largest(), 4096u) << in;
  }
}

// A random term of bounded size over every field and command kind.
KTermRef random_term(std::mt19937& rng, int budget) {
  auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  auto text = [&] {
    static const char* const pieces[] = {"a", "", "\n", " ", "\xC3\xA9", "\xE2\x82\xAC", "x"};
    std::string s;
    for (int i = pick(5); i > 0; --i) {
      int k = pick(8);
      if (k == 7)
        s.push_back('\0');
      else
        s += pieces[k];
    }
    return s;
  };
  Cmds cmds;
  // Now and then a list around 255 entries, the most a node's header counts itself.
  for (int i = pick(40) == 0 ? 250 + pick(10) : pick(6); i > 0; --i) {
    switch (pick(5)) {
      case 0:
        cmds.push_back(W(text()));
        break;
      case 1:
        cmds.push_back(NLc);
        break;
      case 2:
        cmds.push_back(P(text()));
        break;
      case 3:
        cmds.push_back(POPc);
        break;
      default:
        cmds.push_back(H);
    }
  }
  if (budget <= 0 || pick(3) == 0) return tuple(text(), {}, cmds);
  switch (pick(3)) {
    case 0:
      return kquote_at(
                 text(), static_cast<uint8_t>(rng()), text(), random_term(rng, budget - 1), cmds,
                 pick(2) ? std::optional<Span>{Span{rng(), uint64_t{rng()} << 40}} : std::nullopt)
          .share();
    case 1:
      return kunquote_at(text(), static_cast<uint8_t>(rng()), text(), random_term(rng, budget - 1),
                         cmds, std::nullopt)
          .share();
    default: {
      Kids kids;
      for (int i = pick(4); i > 0; --i) kids.push_back(random_term(rng, budget / 2));
      return tuple(text(), kids, cmds);
    }
  }
}

TEST(PostcardRoundTrip, RandomTermsDecodeEqualAndReencodeIdentically) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 2000; ++i) {
    KTermRef t = random_term(rng, 8);
    std::string bytes = postcard_bytes(*t);
    Decoded d = from_postcard_bytes(bytes + "tail");
    ASSERT_TRUE(d.ok()) << hex(bytes);
    EXPECT_EQ(d.read, bytes.size());
    ASSERT_TRUE(equal(*t, *d.term)) << hex(bytes);
    ASSERT_EQ(postcard_bytes(*d.term), bytes);
    // Every strict prefix is an incomplete term.
    if (i % 50 != 0) continue;
    for (size_t n = 0; n < bytes.size(); ++n)
      ASSERT_EQ(error_of(std::string_view(bytes).substr(0, n)), DecodeError::EndOfInput);
  }
}

// Throws at its third call.
void third_call_throws() {
  static int calls = 0;
  if (++calls % 3 == 0) throw std::runtime_error("interrupted");
}

TEST(PostcardPoll, EndsEncodingAndDecodingAndKeepsTermsWhole) {
  // 2^23 nodes to write from 23.
  KTermRef t = leaf("x", "x");
  for (int i = 0; i < 22; ++i) t = tuple("t", Kids{t, t}, Cmds{H, H});
  std::string out;
  EXPECT_THROW(encode(*t, out, third_call_throws), std::runtime_error);
  EXPECT_GT(out.size(), 0u);
  EXPECT_EQ(t->use_count(), 1u);
  // 327 bytes, accepted at once, that print an empty leaf 2^40 times under 40 Quotes.
  std::string doubling;
  for (int i = 0; i < 40; ++i) doubling += unhex("00 00 00 00");
  doubling += unhex("02 00 00 01 00 00 00");
  for (int i = 0; i < 40; ++i) doubling += unhex("02 01 01 00");
  ASSERT_EQ(doubling.size(), 327u);
  Decoded q = from_postcard_bytes(doubling);
  ASSERT_TRUE(q.ok());
  EXPECT_THROW(coparse(*q.term, third_call_throws), std::runtime_error);
  EXPECT_EQ(postcard_bytes(*q.term), doubling);  // written once: sharing is by splice only
  // Decoding a long input stops too, releasing every node it made.
  KTermRef wide = tuple("w", Kids(50'000, leaf("x", "x")), Cmds{H});
  std::string bytes = postcard_bytes(*wide);
  {
    LiveNodes nodes;
    EXPECT_THROW(from_postcard_bytes(bytes, third_call_throws), std::runtime_error);
    EXPECT_EQ(nodes.count(), 0);
  }
  Decoded d = from_postcard_bytes(bytes);
  ASSERT_TRUE(d.ok());
  EXPECT_TRUE(equal(*wide, *d.term));
}

// Decodes a term of its own at every call, as a signal handler run by the poll might.
const std::string* nested_input = nullptr;
int nested_ok = 0;
void decode_inside() {
  Decoded inner = from_postcard_bytes(*nested_input);
  if (inner.ok() && postcard_bytes(*inner.term) == *nested_input) ++nested_ok;
}

TEST(PostcardPoll, DecodeInsideADecode) {
  // Both decodes use the thread's spare child stack in turn; neither loses a node.
  std::string inner_bytes = postcard_bytes(*tuple("i", Kids(5'000, leaf("y", "yy")), Cmds{H}));
  KTermRef wide = tuple("w", Kids(50'000, leaf("x", "x")), Cmds{H});
  std::string bytes = postcard_bytes(*wide);
  nested_input = &inner_bytes;
  for (int round = 0; round < 3; ++round) {
    Decoded d = from_postcard_bytes(bytes, decode_inside);
    ASSERT_TRUE(d.ok());
    EXPECT_TRUE(equal(*wide, *d.term));
  }
  EXPECT_GT(nested_ok, 3);
  nested_input = nullptr;
}

TEST(PostcardDecode, ReservationIsCappedAtOneMebibyte) {
  // A count of 2^21 children with that many bytes behind it: the count is plausible, but
  // only 1 MiB of child references may be reserved before the children are read.
  std::string in = unhex("02 00 80 80 80 01") + std::string(size_t{1} << 21, '\x03');
  // On a new thread, which has no child stack left over from an earlier decode to reuse.
  AllocationWatch watch;
  std::thread([&] { EXPECT_EQ(error_of(in), DecodeError::BadVariant); }).join();
  EXPECT_LE(watch.largest(), size_t{1} << 20);
  EXPECT_GE(watch.largest(), size_t{1} << 20);  // the capped reservation itself
}

TEST(PostcardDecode, KeepsAtMostItsStatedRoomForTheNextDecode) {
  // On new threads, whose decoders start with no room kept.
  auto kept_after = [](size_t width, size_t depth = 1) {
    KTermRef t = tuple("w", Kids(width, leaf("x", "x")), Cmds{H});
    for (size_t i = 1; i < depth; ++i) t = tuple("d", Kids{t}, Cmds{H});
    std::string bytes = postcard_bytes(*t);
    size_t kept = 0;
    std::thread([&] {
      EXPECT_TRUE(from_postcard_bytes(bytes).ok());
      kept = decoder_kept_bytes();
    }).join();
    return kept;
  };
  // A wide term's child stack is kept for the next decode...
  EXPECT_GE(kept_after(50'000), 50'000 * sizeof(void*));
  // ...up to 1 MiB a stack: one that grew past that goes back, and the other stack, a few
  // entries here, is all that stays. These stacks grew to between 1 and 2 MiB.
  EXPECT_LT(kept_after(200'000), size_t{1} << 20);
  EXPECT_LT(kept_after(1, 30'000), size_t{1} << 20);  // and so does a deep term's node stack
}

// A decode carves its nodes from shared chunks. Whatever part of the result is kept, it keeps
// no more than a chunk, and a small decode takes a small one.
TEST(PostcardDecode, AKeptNodeKeepsAtMostItsChunk) {
  Kids leaves;  // about 50 MB of nodes
  for (int i = 0; i < 400'000; ++i) leaves.push_back(leaf("x", std::string(i % 200, 'y')));
  const std::string bytes = postcard_bytes(*tuple("w", leaves, Cmds{H}));
  leaves.clear();
  LiveNodes nodes;
  KTermRef kept;
  const int trims = nodes.trims();
  EXPECT_TRUE(from_postcard_bytes(bytes).ok());  // dropped whole, its blocks freed at once
  EXPECT_EQ(nodes.count(), 0);
  {
    Decoded d = from_postcard_bytes(bytes);
    ASSERT_TRUE(d.ok());
    EXPECT_GT(nodes.live_bytes(), int64_t{48} << 20);
    EXPECT_LT(nodes.count(), 400'000 / 2);  // two or more to a chunk
    kept = d.term->child_ref(200'001);
  }
  EXPECT_LE(nodes.live_bytes(), static_cast<int64_t>(kChunkBytes + 64));
  EXPECT_EQ(nodes.trims(), trims);  // 3 MB of blocks of their own: chunks do not count
  EXPECT_EQ(coparse(kept), std::string(1, 'y'));
  kept = KTermRef();
  EXPECT_EQ(nodes.count(), 0);
  EXPECT_EQ(nodes.live_bytes(), 0);
}

// A decode dropped whole is freed by its blocks; one with a part held elsewhere is walked,
// and that part, with its block, stays.
struct HeldPart {
  const char* name;
  // What is held of a term whose wide tuple is wide.
  std::function<KTermRef(const KTermRef& root, const KTerm& wide)> hold;
  int64_t blocks_left;  // once the root has gone; -1: all of them, and one more
};

void PrintTo(const HeldPart& p, std::ostream* os) { *os << p.name; }

class PostcardDecodeDrop : public ::testing::TestWithParam<HeldPart> {};

TEST_P(PostcardDecodeDrop, FreesEveryBlockNotHeld) {
  Kids leaves(100, leaf("x", "y"));
  leaves[7] = leaf("x", std::string(400, 'z'));  // too large to carve: a block of its own
  const KTermRef wide = tuple("w", leaves, Cmds{H});
  // The root in a block of its own, and carved.
  for (const KTermRef& built : {wide, quote("q", 0, "py", wide, Cmds{H})}) {
    const auto wide_of = [](const KTermRef& t) -> const KTerm& {
      return t->is_tuple() ? *t : t->term();
    };
    const KTermRef want = GetParam().hold(built, wide_of(built));
    LiveNodes nodes;
    Decoded d = from_postcard_bytes(postcard_bytes(*built));
    ASSERT_TRUE(d.ok());
    const int64_t blocks = nodes.count();
    ASSERT_GE(blocks, static_cast<int64_t>(kListedMinBlocks) + 1);  // and the list of them
    KTermRef held = GetParam().hold(d.term, wide_of(d.term));
    d.term = KTermRef();
    const int64_t left = GetParam().blocks_left;
    EXPECT_EQ(nodes.count(), left < 0 ? blocks + 1 : left);
    if (want) {
      EXPECT_TRUE(equal(*held, *want));
    }
    held = KTermRef();
    EXPECT_EQ(nodes.count(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parts, PostcardDecodeDrop,
    ::testing::Values(
        HeldPart{"Nothing", [](const KTermRef&, const KTerm&) { return KTermRef(); }, 0},
        HeldPart{"ACarvedLeaf", [](const KTermRef&, const KTerm& w) { return w.child_ref(3); }, 1},
        HeldPart{"ALeafOfItsOwnBlock",
                 [](const KTermRef&, const KTerm& w) { return w.child_ref(7); }, 1},
        HeldPart{"ALeafSharedAndLetGo",
                 [](const KTermRef&, const KTerm& w) {
                   w.child_ref(3);
                   return KTermRef();
                 },
                 0},
        // Dropped later, in the walk over the term it was spliced into.
        HeldPart{"TheRootSplicedIntoAnotherTerm",
                 [](const KTermRef& r, const KTerm&) { return tuple("t", Kids{r}, Cmds{H}); }, -1}),
    [](const auto& info) { return std::string(info.param.name); });

// Each allocation of a decode refused in turn, a page of the list of its blocks included:
// the decode fails (or, without the list, still succeeds) and leaves no block behind.
TEST(PostcardDecode, RunningOutOfMemoryAnywhereLeavesNoBlock) {
  const std::string bytes = postcard_bytes(*tuple("w", Kids(600, leaf("x", "y")), Cmds{H}));
  for (int64_t granted = 0;; ++granted) {
    LiveNodes nodes;
    nodes.fail_after(granted);
    try {
      Decoded d = from_postcard_bytes(bytes);
      EXPECT_TRUE(d.ok());
    } catch (const std::bad_alloc&) {
      EXPECT_GT(nodes.refusals(), 0);
    }
    EXPECT_EQ(nodes.count(), 0) << "with " << granted << " allocations granted";
    if (nodes.refusals() == 0) break;  // none refused: every point was tried
  }
}

TEST(PostcardDecode, ASmallDecodeTakesASmallChunk) {
  LiveNodes nodes;
  Decoded one = from_postcard_bytes(unhex(kLeaf));
  ASSERT_TRUE(one.ok());
  EXPECT_LE(nodes.largest_block(), 48u);  // the leaf and the chunk's head
}

#ifdef KOVEL_ASAN
// The sanitizer sees a dead carved node as it sees freed memory, though its chunk lives on.
TEST(PostcardDecodeDeathTest, ADeadCarvedNodeIsPoisoned) {
  Decoded d = from_postcard_bytes(postcard_bytes(*tuple("w", Kids(8, leaf("a", "1")), Cmds{H})));
  ASSERT_TRUE(d.ok());
  const KTermRef kept = d.term->child_ref(0);
  const volatile char* dead = reinterpret_cast<const char*>(&d.term->child(1));
  ASSERT_EQ(d.term->child(1).use_count(), 1u);
  d.term = KTermRef();  // the root and all leaves but the first go; it keeps the chunk
  EXPECT_DEATH(static_cast<void>(*dead), "use-after-poison");
}
#endif

TEST(PostcardDepth, MillionLevelsEncodeAndDecode) {
  constexpr size_t kDepth = 1'000'000;
  KTermRef t = leaf("x", "x");
  for (size_t i = 0; i < kDepth; ++i)
    t = i % 2 ? tuple("n", Kids{t}, Cmds{H})
              : quote("q", 1, "py", std::move(t), Cmds{W("("), H, W(")")});
  std::string bytes = postcard_bytes(*t);
  Decoded d = from_postcard_bytes(bytes);
  ASSERT_TRUE(d.ok());
  EXPECT_TRUE(equal(*t, *d.term));
  EXPECT_EQ(postcard_bytes(*d.term), bytes);
  // An error at the very end releases every level decoded so far.
  std::string cut = bytes.substr(0, bytes.size() - 1);
  LiveNodes nodes;
  EXPECT_EQ(error_of(cut), DecodeError::EndOfInput);
  EXPECT_EQ(nodes.count(), 0);
}

}  // namespace
}  // namespace kovel
