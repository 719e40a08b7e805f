// kterm_test.cpp: term nodes, constructors, emission, sharing and release.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <csignal>
#include <cstdint>
#include <functional>
#include <iterator>
#include <utility>

#include "kterm/postcard.hpp"
#include "term/sterm.hpp"
#include "test_util.hpp"

namespace kovel {
namespace {

using namespace kovel::testing;

struct Examples {
  KTermRef B = tuple("stmt", {}, Cmds{W("a = 1")});
  KTermRef C = tuple("stmt", {}, Cmds{W("b = 2")});
};

TEST(Emission, BlockIndentsItsChildren) {
  Examples e;
  KTermRef A = tuple("block", Kids{e.B, e.C},
                     Cmds{W("if x:"), P("    "), NLc, H, NLc, H, POPc, NLc, W("end")});
  EXPECT_EQ(coparse(A), "if x:\n    a = 1\n    b = 2\nend");
}

TEST(Emission, QuoteSplicesItsTermAtEveryHole) {
  Examples e;
  KTermRef Q = quote("q", 0, "py", e.B, Cmds{W("("), H, W(", "), H, W(")")});
  EXPECT_EQ(coparse(Q), "(a = 1, a = 1)");
  EXPECT_EQ(coparse(quote("q", 0, "py", e.B, Cmds{W("only")})), "only");
}

TEST(Emission, PrefixStackRunsAcrossNodes) {
  KTermRef D = tuple("d", {}, Cmds{P("> "), W("d")});
  KTermRef P1 = tuple("p", Kids{D}, Cmds{H, NLc, W("e")});
  EXPECT_EQ(coparse(P1), "d\n> e");
  // A POP inside a child removes the prefix its ancestor pushed.
  KTermRef popper = tuple("x", {}, Cmds{POPc});
  KTermRef outer = tuple("o", Kids{popper}, Cmds{P("  "), NLc, W("a"), H, NLc, W("b")});
  EXPECT_EQ(coparse(outer), "\n  a\nb");
  // An ancestor's prefix applies to every newline of its descendants.
  KTermRef inner = tuple("i", {}, Cmds{W("1"), NLc, W("2")});
  KTermRef mid = tuple("m", Kids{inner}, Cmds{P("-"), H});
  KTermRef top = tuple("t", Kids{mid}, Cmds{P("+"), H});
  EXPECT_EQ(coparse(top), "1\n+-2");
}

TEST(Emission, OnlyChildrenConsumedByHolesArePrinted) {
  Examples e;
  EXPECT_EQ(coparse(tuple("e", Kids{e.B, e.C}, Cmds{H})), "a = 1");
  EXPECT_EQ(coparse(tuple("e", Kids{e.B, e.C}, Cmds{})), "");
  EXPECT_EQ(coparse(tuple("e", Kids{e.B, e.B}, Cmds{H, W(";"), H})), "a = 1;a = 1");
}

TEST(Emission, VariantAndMetadataNeverReachTheOutput) {
  Examples e;
  Cmds cmds{W("<"), H, W(">")};
  std::string q = coparse(quote("a", 1, "py", e.B, cmds));
  EXPECT_EQ(q, "<a = 1>");
  EXPECT_EQ(coparse(unquote("zzz", 255, "rust", e.B, cmds)), q);
  EXPECT_EQ(coparse(kquote_at("a", 1, "py", e.B, cmds, Span{9, 2}).share()), q);
}

TEST(Emission, MissingChildIsAnInternalFault) {
  Examples e;
  EXPECT_THROW(coparse(tuple("t", {}, Cmds{H})), InternalFault);
  // The first child is printed before the second HOLE finds none left; no text comes back.
  ByteBuffer out;
  PrefixWriter w(out);
  KTermRef two = tuple("t", Kids{e.B}, Cmds{H, H});
  EXPECT_THROW(write(*two, w), InternalFault);
  EXPECT_EQ(out.view(), "a = 1");
  // Deep inside a tree the fault still surfaces, every time, and the tree is unchanged.
  KTermRef bad = tuple("bad", {}, Cmds{H});
  KTermRef outer = tuple("o", Kids{bad, e.B}, Cmds{W("x"), H, W("y"), H});
  EXPECT_THROW(coparse(outer), InternalFault);
  EXPECT_THROW(coparse(outer), InternalFault);
  EXPECT_EQ(outer->child_count(), 2u);
  EXPECT_EQ(coparse(outer->child_ref(1)), "a = 1");
}

// Counts its calls and throws at the `limit`-th one.
struct CountingPoll {
  static inline int calls = 0;
  static inline int limit = 0;
  struct Stop {};
  static void poll() {
    if (++calls == limit) throw Stop{};
  }
  explicit CountingPoll(int stop_at) {
    calls = 0;
    limit = stop_at;
  }
};

// 22 levels, each splicing the one below twice: 2^22 leaves from 23 nodes (ten more levels
// would print for hours).
KTermRef doubling(const KTermRef& bottom, bool quotes) {
  KTermRef t = bottom;
  for (int i = 0; i < 22; ++i)
    t = quotes ? quote("q", 0, "", t, Cmds{H, H}) : tuple("t", Kids{t, t}, Cmds{H, H});
  return t;
}

TEST(Emission, PollEndsAnOutsizedPrint) {
  // Neither output (the leaf writes nothing) nor commands bound this walk: only the steps.
  for (bool quotes : {true, false}) {
    KTermRef t = doubling(leaf("", ""), quotes);
    CountingPoll p(3);
    EXPECT_THROW(coparse(t, CountingPoll::poll), CountingPoll::Stop);
    EXPECT_EQ(CountingPoll::calls, 3);
    EXPECT_EQ(t->use_count(), 1u);
  }
}

TEST(Emission, PollIsCalledAtBoundedIntervals) {
  Kids kids(100'000, leaf("x", "ab"));
  Cmds cmds(kids.size(), H);
  KTermRef wide = tuple("w", kids, cmds);
  CountingPoll steps(-1);
  std::string out = coparse(wide, CountingPoll::poll);
  EXPECT_EQ(out.size(), 200'000u);
  // 100,000 splices: one poll per PollClock::kSteps of them.
  EXPECT_EQ(CountingPoll::calls, 100'000 / static_cast<int>(PollClock::kSteps));
  // Newlines under a long prefix poll by the bytes they add, without a splice.
  Cmds lines{P(std::string(PollClock::kBytes / 2, ' '))};
  lines.resize(21, NLc);
  CountingPoll newlines(-1);
  EXPECT_GT(coparse(tuple("p", {}, lines), CountingPoll::poll).size(), 10 * PollClock::kBytes);
  EXPECT_GE(CountingPoll::calls, 9);
  // Big texts poll by the bytes they add, however few the entries.
  KTermRef big = leaf("t", std::string(PollClock::kBytes / 4, 'z'));
  KTermRef many = tuple("m", Kids(40, big), Cmds(40, H));
  CountingPoll bytes(-1);
  EXPECT_EQ(coparse(many, CountingPoll::poll).size(), 10 * PollClock::kBytes);
  EXPECT_GE(CountingPoll::calls, 9);
  EXPECT_EQ(coparse(many).size(), 10 * PollClock::kBytes);  // no poll: never called
  EXPECT_EQ(CountingPoll::calls, bytes.calls);
}

TEST(Constructors, LeafAndSym) {
  LiveNodes nodes;
  KTermRef l = leaf("integer", "42");
  EXPECT_LE(nodes.largest_block(), 32u);  // a short leaf is one small block
  EXPECT_EQ(l->variant(), Variant::Tuple);
  EXPECT_EQ(l->tag(), "integer");
  EXPECT_EQ(l->child_count(), 0u);
  EXPECT_EQ(cmds_of(*l), Cmds{W("42")});
  EXPECT_EQ(coparse(l), "42");

  KTermRef s = sym("x");
  EXPECT_EQ(s->tag(), "x");
  EXPECT_EQ(cmds_of(*s), Cmds{W("x")});

  KTermRef empty = leaf("t", "");
  EXPECT_EQ(cmds_of(*empty), Cmds{W("")});
  EXPECT_EQ(coparse(empty), "");

  std::string longer(300, 'z');
  EXPECT_EQ(coparse(leaf("t", longer)), longer);
  // Every length up to past a two-byte length varint, one byte at a time, with tags of every
  // short length: the node leaf writes directly is the one the general constructor makes.
  for (size_t n = 0; n < 140; ++n) {
    std::string code(n, static_cast<char>('a' + n % 26));
    std::string tag(n % 21, 'g');
    KTermRef t = leaf(tag, code);
    ASSERT_EQ(cmds_of(*t), Cmds{W(code)}) << n;
    ASSERT_EQ(coparse(t), code) << n;
    ASSERT_TRUE(equal(*t, *tuple(tag, {}, Cmds{W(code)}))) << n;
  }
  std::string nul("a\0b\nc", 5);
  EXPECT_EQ(coparse(leaf(nul, nul)), nul);
  EXPECT_EQ(leaf(nul, "")->tag(), nul);
}

// A node keeps its lengths and counts in 32 bits. One that does not fit is refused before
// anything is made or read, like memory that cannot be had, and the children stay the caller's.
TEST(Constructors, LengthsPastThirtyTwoBitsAreRefused) {
  const size_t too_long = size_t{1} << 32;
  // Address space for the longest text, never touched: the refusal comes before any copy.
  void* room =
      mmap(nullptr, too_long, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (room == MAP_FAILED) GTEST_SKIP() << "no 4 GiB of address space here (an emulator's)";
  const std::string_view huge(static_cast<const char*>(room), too_long);
  const KTermRef kid = leaf("x", "y");
  const KTerm* kids[] = {kid.get()};
  LiveNodes nodes;
  EXPECT_THROW(KTerm::make(Variant::Tuple, 0, huge, {}, kids, 1, "", 0, std::nullopt),
               std::bad_alloc);
  EXPECT_THROW(KTerm::make(Variant::Tuple, 0, "t", {}, kids, 1, huge, 0, std::nullopt),
               std::bad_alloc);
  EXPECT_THROW(KTerm::make(Variant::Tuple, 0, "t", {}, kids, 1, "", too_long, std::nullopt),
               std::bad_alloc);
  EXPECT_THROW(leaf(huge, "y"), std::bad_alloc);
  // A leaf's command is 2 bytes, a 5-byte length and the code: the longest code is 7 short.
  EXPECT_THROW(leaf("t", huge.substr(0, too_long - 7)), std::bad_alloc);
  EXPECT_EQ(nodes.count(), 0);
  EXPECT_EQ(kid->use_count(), 1u);
  munmap(room, too_long);
}

TEST(Constructors, CopyCommandsAndKeepFields) {
  Examples e;
  Cmds cmds{W("f("), H, P("  "), NLc, POPc, W(")")};
  KTermRef q = quote("q", 7, "py", e.B, cmds);
  cmds[0] = W("changed");
  cmds.clear();
  EXPECT_EQ(cmds_of(*q), (Cmds{W("f("), H, P("  "), NLc, POPc, W(")")}));
  EXPECT_EQ(q->variant(), Variant::Quote);
  EXPECT_EQ(q->index(), 7);
  EXPECT_EQ(q->lang(), "py");
  EXPECT_EQ(q->tag(), "q");
  EXPECT_FALSE(q->span().has_value());
  EXPECT_EQ(&q->term(), e.B.get());

  UnsharedKTerm a = kquote_at("t", 3, "l", e.B, Cmds{H}, Span{5, 1});
  UnsharedKTerm b = kunquote_at("t", 3, "l", e.B, Cmds{H}, Span{5, 1});
  EXPECT_EQ(a->variant(), Variant::Quote);
  EXPECT_EQ(b->variant(), Variant::Unquote);
  EXPECT_EQ(a->span(), (Span{5, 1}));
  EXPECT_EQ(a->tag(), b->tag());
  EXPECT_EQ(a->lang(), b->lang());
  EXPECT_EQ(a->cmd_bytes(), b->cmd_bytes());
}

// A Tuple with no children and the one command Write(code).
void expect_leaf(const KTermRef& t, std::string_view tag, const std::string& code) {
  EXPECT_EQ(t->variant(), Variant::Tuple);
  EXPECT_EQ(t->tag(), tag);
  EXPECT_EQ(t->child_count(), 0u);
  EXPECT_EQ(cmds_of(*t), Cmds{W(code)});
}

TEST(Constructors, IdentifierIsALeafTaggedIdentifier) {
  expect_leaf(identifier("foo"), "identifier", "foo");
}

TEST(Constructors, LiftedIntegersAreDecimalLeaves) {
  const std::pair<int64_t, std::string> cases[] = {
      {0, "0"},
      {7, "7"},
      {-7, "-7"},
      {1000, "1000"},
      {INT64_MAX, "9223372036854775807"},
      {INT64_MIN, "-9223372036854775808"},
  };
  for (const auto& [v, text] : cases) {
    SCOPED_TRACE(text);
    expect_leaf(lift_int(v), "integer", text);
    expect_leaf(lift_html_int(v), "text", text);
  }
}

TEST(Constructors, LiftedStringIsItsTextBetweenTwoQuoteLeaves) {
  for (std::string s : {std::string("say \"hi\""), std::string(), std::string("a\\b\n\0c", 6)}) {
    KTermRef t = lift_str(s);
    EXPECT_EQ(t->variant(), Variant::Tuple);
    EXPECT_EQ(t->tag(), "string");
    EXPECT_EQ(cmds_of(*t), (Cmds{H, H, H}));
    ASSERT_EQ(t->child_count(), 3u);
    expect_leaf(t->child_ref(0), "string_start", "\"");
    expect_leaf(t->child_ref(1), "string_content", s);
    expect_leaf(t->child_ref(2), "string_end", "\"");
  }
}

TEST(Constructors, LiftedHtmlStringIsOneEscapedTextLeaf) {
  expect_leaf(lift_html_str("<a href=\"x\">Tom & Jerry's</a>"), "text",
              "&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&#x27;s&lt;/a&gt;");
  expect_leaf(lift_html_str(""), "text", "");
}

TEST(KTermDeathTest, ChildIndexIsCheckedAtTheEnd) {
#ifndef KOVEL_CHECKED
  GTEST_SKIP() << "a build without KOVEL_CHECKED does not check indices";
#endif
  // The check's own abort; a sanitizer that reports the stray read instead exits with a status.
#ifdef _WIN32
  const auto aborted = ::testing::ExitedWithCode(3);
#else
  const auto aborted = ::testing::KilledBySignal(SIGABRT);
#endif
  KTermRef a = leaf("a", "A");
  KTermRef b = leaf("b", "B");
  KTermRef t = tuple("t", Kids{a, b}, Cmds{H, H});
  EXPECT_EQ(&t->child(1), b.get());
  EXPECT_EXIT(t->child(2), aborted, "");
  KTermRef q = quote("q", 0, "py", a, Cmds{H});
  EXPECT_EQ(&q->child(0), a.get());
  EXPECT_EXIT(q->child(1), aborted, "");
  EXPECT_EXIT(a->child(0), aborted, "");
}

TEST(Sharing, CountsRiseAndFallWithHolders) {
  KTermRef x = leaf("integer", "42");
  EXPECT_EQ(x->use_count(), 1u);
  {
    KTermRef parent = tuple("p", Kids{x, x}, Cmds{H, H});
    EXPECT_EQ(x->use_count(), 3u);
    EXPECT_EQ(&parent->child(0), &parent->child(1));
    KTermRef q = quote("q", 0, "py", x, Cmds{H});  // takes over a copy of the reference
    EXPECT_EQ(x->use_count(), 4u);
    KTermRef copy = parent;
    EXPECT_EQ(parent->use_count(), 2u);
    EXPECT_EQ(coparse(parent), "4242");
  }
  EXPECT_EQ(x->use_count(), 1u);
  KTermRef moved = std::move(x);
  EXPECT_FALSE(x);
  EXPECT_EQ(moved->use_count(), 1u);
}

TEST(Sharing, SubtreeSurvivesItsParent) {
  KTermRef kept;
  {
    KTermRef inner = tuple("i", Kids{leaf("a", "A")}, Cmds{H});
    KTermRef outer = tuple("o", Kids{inner, leaf("b", "B")}, Cmds{H, H});
    kept = outer->child_ref(0);
  }
  EXPECT_EQ(kept->use_count(), 1u);
  EXPECT_EQ(coparse(kept), "A");
}

TEST(Sharing, ReleaseOfALargeTermTrimsTheAllocatorOnce) {
  LiveNodes nodes;
  Kids leaves;
  for (int i = 0; i < 1200; ++i) leaves.push_back(leaf("x", std::string(30'000, 'y')));
  KTermRef big = tuple("w", leaves, Cmds{H});
  leaves.clear();
  KTermRef small = tuple("w", Kids(1000, leaf("x", "y")), Cmds{H});
  small = KTermRef();
  EXPECT_EQ(nodes.trims(), 0);
  const std::string bytes = postcard_bytes(*big);
  big = KTermRef();  // 36 MB of leaves and the node that holds them
  EXPECT_EQ(nodes.trims(), 1);
  EXPECT_EQ(nodes.count(), 0);
  EXPECT_TRUE(from_postcard_bytes(bytes).ok());  // the same, decoded and dropped whole
  EXPECT_EQ(nodes.trims(), 2);
  EXPECT_EQ(nodes.count(), 0);

  // The root's own block counts, and the threshold is exact: each term below is padded by one
  // of its texts until the blocks its release frees come to kTrimBytes, or one byte less. A
  // lone leaf; a Quote with a span over a leaf; a Tuple whose children outlive it, so that its
  // own block is all that goes.
  const std::string text(kTrimBytes, 't');
  const std::string_view pad(text);
  const KTermRef kept = leaf("k", "k");
  const Kids kids(kTrimBytes / 16, kept);
  const std::function<KTermRef(size_t)> terms[] = {
      [&](size_t n) { return leaf("l", pad.substr(0, n)); },
      [&](size_t n) {
        return kquote_at("q", 1, pad.substr(0, n), leaf("x", "x"), Cmds{H}, Span{1, 2}).share();
      },
      [&](size_t n) { return tuple(pad.substr(0, n), kids, Cmds{H}); },
  };
  for (size_t k = 0; k < std::size(terms); ++k) {
    // The bytes of the blocks made for term k padded by n, and the trims its release causes.
    auto made_and_trimmed = [&](size_t n) {
      const size_t bytes = nodes.bytes();
      const int trims = nodes.trims();
      KTermRef t = terms[k](n);
      const size_t made = nodes.bytes() - bytes;
      t = KTermRef();
      return std::pair{made, nodes.trims() - trims};
    };
    const size_t probe = size_t{1} << 22;  // each length varint keeps its width from here up
    const size_t fill = probe + (kTrimBytes - made_and_trimmed(probe).first);
    EXPECT_EQ(made_and_trimmed(fill - 1), std::pair(kTrimBytes - 1, 0)) << k;
    EXPECT_EQ(made_and_trimmed(fill), std::pair(kTrimBytes, 1)) << k;
  }
  EXPECT_EQ(nodes.count(), 1);  // `kept` alone
}

TEST(Sharing, ReleaseDropsEveryDyingChild) {
  // Each non-leaf child that dies with its parent must give up its own children too.
  KTermRef l = leaf("l", "L");
  {
    KTermRef parent =
        tuple("p",
              Kids{tuple("a", Kids{l}, Cmds{H}), leaf("x", "X"), tuple("b", Kids{l, l}, Cmds{H, H}),
                   tuple("c", Kids{tuple("d", Kids{l}, Cmds{H})}, Cmds{H})},
              Cmds{H, H, H, H});
    EXPECT_EQ(l->use_count(), 5u);
    EXPECT_EQ(coparse(parent), "LXLLL");
  }
  EXPECT_EQ(l->use_count(), 1u);
}

}  // namespace

/// Test access to a node's count.
struct KTermCountAccess {
  static void set(const KTerm& t, uint32_t n) { t.refs_.store(n); }
};

namespace {

TEST(Sharing, CountSaturatesInsteadOfWrapping) {
  KTermRef t = leaf("t", "x");
  KTermCountAccess::set(*t, KTerm::kSaturated - 2);  // as if 2^31 - 2 holders existed
  t->retain();
  EXPECT_EQ(t->use_count(), KTerm::kSaturated - 1);
  t->retain();  // reaches the limit: pinned for good
  EXPECT_EQ(t->use_count(), KTerm::kPinned);
  for (int i = 0; i < 1000; ++i) KTerm::release(t.get());
  EXPECT_EQ(t->use_count(), KTerm::kPinned);  // releases never bring it back down
  for (int i = 0; i < 1000; ++i) t->retain();
  EXPECT_EQ(t->use_count(), KTerm::kPinned);
  EXPECT_EQ(coparse(t), "x");
  // Below the limit the count is exact: back to one holder, freed as usual.
  KTermCountAccess::set(*t, 2);
  KTerm::release(t.get());
  EXPECT_EQ(t->use_count(), 1u);
}

// A chain of `depth` levels, each splicing the one below between its own commands.
KTermRef chain(size_t depth, const Cmds& level_cmds) {
  KTermRef t = leaf("x", "x");
  for (size_t i = 0; i < depth; ++i) t = tuple("n", Kids{t}, level_cmds);
  return t;
}

TEST(Depth, MillionLevelChainPrintsAndDrops) {
  constexpr size_t kDepth = 1'000'000;
  {
    KTermRef t = chain(kDepth, Cmds{W("("), H, W(")")});
    std::string s = coparse(t);
    ASSERT_EQ(s.size(), 2 * kDepth + 1);
    EXPECT_EQ(s.substr(0, 3), "(((");
    EXPECT_EQ(s.substr(kDepth - 1, 3), "(x)");
  }  // released here, without recursion
  KTermRef tail = chain(kDepth, Cmds{H});
  EXPECT_EQ(coparse(tail), "x");
  KTermRef q = leaf("x", "y");
  for (size_t i = 0; i < kDepth; ++i)
    q = quote("q", 0, "py", std::move(q), Cmds{W("["), H, W("]")});
  EXPECT_EQ(coparse(q).size(), 2 * kDepth + 1);
}

TEST(Depth, WideTreeWithSharedDeepSubtreesReleases) {
  KTermRef deep = chain(200'000, Cmds{H});
  Kids kids(1000, deep);
  KTermRef wide = tuple("w", kids, Cmds{H});
  deep = KTermRef();
  kids.clear();
  EXPECT_EQ(wide->child(0).use_count(), 1000u);
  wide = KTermRef();  // the last holder: 200,000 levels released once
}

TEST(Equality, ComparesEveryField) {
  Examples e;
  EXPECT_TRUE(equal(*leaf("a", "b"), *leaf("a", "b")));
  EXPECT_FALSE(equal(*leaf("a", "b"), *leaf("a", "c")));
  EXPECT_FALSE(equal(*leaf("a", "b"), *leaf("b", "b")));
  Cmds h{H};
  EXPECT_FALSE(equal(*quote("q", 0, "py", e.B, h), *unquote("q", 0, "py", e.B, h)));
  EXPECT_FALSE(equal(*quote("q", 0, "py", e.B, h), *quote("q", 1, "py", e.B, h)));
  EXPECT_FALSE(equal(*quote("q", 0, "py", e.B, h), *quote("q", 0, "rs", e.B, h)));
  EXPECT_FALSE(equal(*quote("q", 0, "py", e.B, h), *quote("q", 0, "py", e.C, h)));
  EXPECT_FALSE(equal(*kquote_at("q", 0, "py", e.B, h, Span{1, 2}),
                     *kquote_at("q", 0, "py", e.B, h, Span{1, 3})));
  EXPECT_FALSE(equal(*tuple("t", Kids{e.B}, h), *tuple("t", Kids{e.B, e.B}, h)));
}

}  // namespace
}  // namespace kovel
