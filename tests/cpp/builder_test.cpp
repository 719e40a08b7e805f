// builder_test.cpp: the Tuple builder keeps one HOLE per child and moves into its node.
#include <gtest/gtest.h>

#include "kterm/postcard.hpp"
#include "term/sterm.hpp"
#include "test_util.hpp"

namespace kovel {
namespace {

using namespace kovel::testing;

static_assert(Emit<KTermRef>);

TEST(Builder, EmptyBuildsAnEmptyTuple) {
  KTermRef t = tb("t").b();
  EXPECT_EQ(t->tag(), "t");
  EXPECT_EQ(t->child_count(), 0u);
  EXPECT_EQ(t->cmd_count(), 0u);
  EXPECT_EQ(coparse(t), "");
}

TEST(Builder, WriteOfEmptyTextAddsNothingPushOfEmptyTextAddsAnEntry) {
  KTermBuilder b = tb("t");
  b.write("x").write("");
  EXPECT_EQ(b.cmd_count(), 1u);
  b.push("");
  EXPECT_EQ(b.cmd_count(), 2u);
  KTermRef t = std::move(b).b();
  EXPECT_EQ(cmds_of(*t), (Cmds{W("x"), P("")}));
  // One command entry on the wire, not two, for write("x") + write("").
  KTermBuilder one = tb("t");
  one.write("x").write("");
  EXPECT_EQ(hex(postcard_bytes(*std::move(one).b())), "02 01 74 00 01 00 00 01 78");
  // The empty prefix is popped rather than the one below it.
  KTermBuilder p = tb("t");
  p.push("> ").push("").pop().nl().write("a");
  EXPECT_EQ(coparse(std::move(p).b()), "\n> a");
}

TEST(Builder, OneHolePerChildInOrder) {
  KTermRef x = leaf("integer", "42");
  KTermRef y = leaf("name", "y");
  KTermBuilder b = tb("call");
  b.write("a").child(x).write("b").child(y).child(x);
  EXPECT_EQ(x->use_count(), 3u);
  KTermRef t = std::move(b).b();
  EXPECT_EQ(x->use_count(), 3u);  // moved into the node, not retaken
  EXPECT_EQ(cmds_of(*t), (Cmds{W("a"), H, W("b"), H, H}));
  ASSERT_EQ(t->child_count(), 3u);
  EXPECT_EQ(&t->child(0), x.get());
  EXPECT_EQ(&t->child(1), y.get());
  EXPECT_EQ(&t->child(2), x.get());
  EXPECT_EQ(coparse(t), "a42by42");
  t = KTermRef();
  EXPECT_EQ(x->use_count(), 1u);
}

TEST(Builder, ChainsFromTbToB) {
  KTermRef q = leaf("string_start", "\"");
  KTermRef s = tb("string").c(q).c(leaf("string_content", "hi")).c(q).b();
  EXPECT_EQ(cmds_of(*s), (Cmds{H, H, H}));
  EXPECT_EQ(coparse(s), "\"hi\"");
}

TEST(Builder, IndentationCommandsAreRecordedAsGiven) {
  KTermBuilder b = tb("t");
  b.pop().push("  ").write("a").nl().write("b").pop().nl();
  KTermRef t = std::move(b).b();
  EXPECT_EQ(cmds_of(*t), (Cmds{POPc, P("  "), W("a"), NLc, W("b"), POPc, NLc}));
  EXPECT_EQ(coparse(t), "a\n  b\n");
}

TEST(Builder, EmitHandsOverTheCallersReference) {
  KTermBuilder b = tb("t");
  KTermRef x = leaf("a", "A");
  const KTerm* raw = x.get();
  emit(std::move(x), b);
  EXPECT_EQ(raw->use_count(), 1u);  // the builder is now the only holder
  KTermRef t = std::move(b).b();
  EXPECT_EQ(raw->use_count(), 1u);
  EXPECT_EQ(coparse(t), "A");
}

TEST(Builder, DroppedUnbuiltReleasesChildren) {
  KTermRef x = leaf("a", "A");
  {
    KTermBuilder b = tb("t");
    b.child(x).child(x);
    EXPECT_EQ(x->use_count(), 3u);
  }
  EXPECT_EQ(x->use_count(), 1u);
}

}  // namespace
}  // namespace kovel
