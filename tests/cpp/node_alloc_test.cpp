// node_alloc_test.cpp: node blocks: their size, reuse across calls and threads, and bounds.
#include "kterm/node_alloc.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "kterm/postcard.hpp"
#include "term/sterm.hpp"
#include "test_util.hpp"

namespace kovel {
namespace {

using namespace kovel::testing;
namespace na = node_alloc;

uint64_t held_total(const na::Held& h) {
  uint64_t n = 0;
  for (unsigned c = 0; c <= na::kClasses; ++c) n += h.depot[c] + h.local[c];
  return n;
}

TEST(NodeBlocks, ClassesRoundUpToTheGrain) {
  if (!KOVEL_NODE_POOL) GTEST_SKIP() << "every block comes from malloc under the sanitizer";
  EXPECT_EQ(na::class_of(1), na::class_of(na::kMinPooled));
  EXPECT_EQ(na::block_size(na::class_of(64)), 64u);
  EXPECT_EQ(na::block_size(na::class_of(65)), 80u);
  EXPECT_EQ(na::block_size(na::class_of(na::kMaxPooled)), na::kMaxPooled);
  EXPECT_EQ(na::class_of(na::kMaxPooled + 1), 0);
  // From the smallest node (its 40-byte header) up, no block is larger than the chunk malloc
  // would take for the same request (the request plus 8 bytes, to a multiple of 16).
  for (size_t n = 40; n <= na::kMaxPooled; ++n)
    EXPECT_LE(na::block_size(na::class_of(n)), (n + 8 + 15) / 16 * 16) << n;
}

TEST(NodeBlocks, ShortLeafIsOneSixtyFourByteBlock) {
  if (!KOVEL_NODE_POOL) GTEST_SKIP() << "every block comes from malloc under the sanitizer";
  // A 40-byte header, the tag and the one Write entry (3 bytes and the code): "integer" with
  // a code of 14 bytes fills 64 bytes exactly, one byte more takes the next class.
  auto taken_from = [](size_t code_len) {
    { KTermRef warm = leaf("integer", std::string(code_len, 'x')); }  // the list now has blocks
    na::Held before = na::held();
    KTermRef t = leaf("integer", std::string(code_len, 'x'));
    na::Held after = na::held();
    for (unsigned c = 1; c <= na::kClasses; ++c)
      if (after.local[c] + 1 == before.local[c]) return na::block_size(static_cast<uint8_t>(c));
    return size_t{0};
  };
  EXPECT_EQ(taken_from(2), 64u);
  EXPECT_EQ(taken_from(14), 64u);
  EXPECT_EQ(taken_from(15), 80u);
}

TEST(NodeBlocks, DecodingAgainReusesTheBlocks) {
  if (!KOVEL_NODE_POOL) GTEST_SKIP() << "every block comes from malloc under the sanitizer";
  KTermBuilder b = tb("block");
  for (int i = 0; i < 50000; ++i) b.write("\n").child(leaf("stmt", std::to_string(i * 7919)));
  std::string bytes = postcard_bytes(*std::move(b).b());
  { Decoded warm = from_postcard_bytes(bytes); }
  uint64_t slabs = na::held().slabs;
  for (int round = 0; round < 5; ++round) {
    Decoded d = from_postcard_bytes(bytes);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(postcard_bytes(*d.term), bytes);
  }
  EXPECT_EQ(na::held().slabs, slabs);  // no new memory: every block came back and went out again
}

TEST(NodeBlocks, LargeBlockIsKeptForALikeNode) {
  if (!KOVEL_NODE_POOL) GTEST_SKIP() << "every block comes from malloc under the sanitizer";
  auto wide = [](size_t n) {
    KTermBuilder b = tb("w");
    KTermRef x = leaf("x", "x");
    for (size_t i = 0; i < n; ++i) b.child(x);
    return std::move(b).b();
  };
  { KTermRef first = wide(20000); }  // 160 KB of child references: a large block
  const uint64_t kept = na::held().large;
  EXPECT_GE(kept, 20000u * sizeof(KTerm*));
  {
    KTermRef small = wide(5000);  // too small for the kept block: it stays
    EXPECT_EQ(na::held().large, kept);
    KTermRef like = wide(20000);  // takes it
    EXPECT_EQ(na::held().large, 0u);
    EXPECT_EQ(like->child_count(), 20000u);
    EXPECT_EQ(coparse(like), std::string(20000, 'x'));
  }
  EXPECT_GT(na::held().large, 0u);  // one of the two given back is kept
  // A block too large to keep goes back to malloc.
  { KTermRef huge = wide(1 << 20); }
  EXPECT_LE(na::held().large, 4u << 20);
}

TEST(NodeBlocks, BlocksFreedOnAnotherThreadAreReused) {
  if (!KOVEL_NODE_POOL) GTEST_SKIP() << "every block comes from malloc under the sanitizer";
  // Made on one thread, dropped on another, over and over: the dropping thread's lists hand
  // their surplus to the depot and the making thread takes it back, so memory stays bounded.
  constexpr int kLeaves = 20000;
  std::vector<KTermRef> made(kLeaves);
  auto round = [&] {
    std::thread maker([&] {
      for (auto& t : made) t = leaf("integer", "42");
    });
    maker.join();
    for (auto& t : made) t = KTermRef();
  };
  round();
  uint64_t slabs = na::held().slabs;
  for (int i = 0; i < 20; ++i) round();
  EXPECT_LE(na::held().slabs, slabs + 2);
  // A thread that ends hands what it holds to the depot: blocks it was given back are not lost.
  for (int i = 0; i < 3000; ++i) made[i] = leaf("integer", "42");
  uint64_t before = held_total(na::held());
  std::thread([&] {
    for (int i = 0; i < 3000; ++i) made[i] = KTermRef();
  }).join();
  EXPECT_EQ(held_total(na::held()), before + 3000);
  // So does the unused end of its slab: many short-lived threads do not take a slab each.
  slabs = na::held().slabs;
  for (int i = 0; i < 50; ++i) {
    std::thread([] { KTermRef t = leaf("t", std::string(300, 'x')); }).join();
  }
  EXPECT_LE(na::held().slabs, slabs + 1);
}

}  // namespace
}  // namespace kovel
