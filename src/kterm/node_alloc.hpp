// node_alloc.hpp: blocks for term nodes, kept in size classes with a free list per thread.
//
// A node block is freed by whichever thread drops the node's last reference, so a block may
// be taken by one thread and given back by another: it simply joins the giving thread's list.
// A list that reaches a batch's worth of blocks is set aside whole as the thread's spare, and
// an empty list takes the spare back, so a thread working around that bound trades nothing;
// a second full list sends the spare to a process-wide depot, where a thread with neither
// list nor spare looks before it carves new memory. A thread that ends hands over everything
// it holds. Memory taken for blocks is kept for reuse, never returned to the
// system, so that a process that decodes and drops large terms over and over does not fault
// the same pages in again on every call. Blocks above the largest class come from malloc.
//
// Under the address sanitizer every block comes from malloc, so that it still sees each
// node's bounds and lifetime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KOVEL_NODE_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVEL_NODE_POOL 0
#endif
#endif
#ifndef KOVEL_NODE_POOL
#define KOVEL_NODE_POOL 1
#endif

namespace kovel::node_alloc {

/// Blocks are multiples of the grain, which is also their alignment.
inline constexpr size_t kGrain = 16;
/// The largest block a size class serves; larger ones come from malloc.
inline constexpr size_t kMaxPooled = 512;
inline constexpr unsigned kClasses = kMaxPooled / kGrain;

/// The smallest pooled block: a free block must hold a batch's bookkeeping (and a node
/// header is larger anyway).
inline constexpr size_t kMinPooled = 48;

/// The class of a request of n bytes: the block size over kGrain for a pooled size, or 0 for
/// a block that comes from malloc (n outside kMinPooled..kMaxPooled, or pooling off).
constexpr uint8_t class_of(size_t n) noexcept {
  if (!KOVEL_NODE_POOL || n > kMaxPooled) return 0;
  if (n < kMinPooled) n = kMinPooled;
  return static_cast<uint8_t>((n + kGrain - 1) / kGrain);
}

/// The bytes a block of class c occupies (0: the malloc block's own size is not known here).
constexpr size_t block_size(uint8_t c) noexcept { return size_t{c} * kGrain; }

struct FreeBlock {
  FreeBlock* next;
};
struct BatchHead;

/// One thread's free lists. Plain data, so that reaching it costs no initialisation check.
struct ThreadCache {
  FreeBlock* head[kClasses + 1];
  FreeBlock* tail[kClasses + 1];  // the oldest block of each list, for handing it over whole
  uint32_t count[kClasses + 1];
  BatchHead* spare[kClasses + 1];  // a full list set aside whole
  char* bump;                      // the unused end of the thread's current slab
  char* bump_end;
  bool registered;  // the thread's end hands the lists to the depot
  void* large;      // the last large block given back, kept for a request of about its size
  size_t large_size;
};

/// The calling thread's cache.
extern constinit thread_local ThreadCache tls_cache;
inline ThreadCache& local() noexcept { return tls_cache; }

/// Slow paths: a block for an empty list (from the depot or a slab; throws std::bad_alloc),
/// and a list that reached its bound, or a first free on a thread not yet registered.
void* refill(ThreadCache& tc, uint8_t c);
void overflow(ThreadCache& tc, uint8_t c) noexcept;
/// Blocks above the largest class (class 0): from malloc, except that the thread keeps the
/// last one given back (between 64 KiB and 4 MiB) for the next request it fits closely, so
/// that decoding a wide node again and again does not map and fault a fresh block each time.
void* allocate_large(ThreadCache& tc, size_t n);
void deallocate_large(ThreadCache& tc, void* p) noexcept;

/// The blocks of class c in a full list: what is set aside or sent to the depot at once.
constexpr uint32_t batch_size(uint8_t c) noexcept {
  constexpr size_t bytes = 64 * 1024;
  return static_cast<uint32_t>(bytes / block_size(c));
}

/// A block of class c (see class_of) for a request of n bytes; throws std::bad_alloc.
inline void* allocate(ThreadCache& tc, uint8_t c, size_t n) {
  if (c == 0) return allocate_large(tc, n);
  if (FreeBlock* b = tc.head[c]) {
    FreeBlock* next = b->next;
    tc.head[c] = next;
    --tc.count[c];
    // Blocks come back in whatever order nodes died: fetch the next one ahead of its use.
    __builtin_prefetch(next, 1);
    return b;
  }
  return refill(tc, c);
}
inline void* allocate(uint8_t c, size_t n) { return allocate(local(), c, n); }

/// Gives back a block of class c, on whatever thread.
inline void deallocate(ThreadCache& tc, void* p, uint8_t c) noexcept {
  if (c == 0) {
    deallocate_large(tc, p);
    return;
  }
  auto* b = static_cast<FreeBlock*>(p);
  b->next = tc.head[c];
  if (!tc.head[c]) tc.tail[c] = b;
  tc.head[c] = b;
  if (++tc.count[c] >= batch_size(c) || !tc.registered) overflow(tc, c);
}
inline void deallocate(void* p, uint8_t c) noexcept { deallocate(local(), p, c); }

/// Free blocks of each class held by the depot and by the calling thread (its list and its
/// spare), and the slabs taken from malloc so far by every thread; for tests.
struct Held {
  uint64_t depot[kClasses + 1];
  uint64_t local[kClasses + 1];
  uint64_t slabs;
  uint64_t large;  // the bytes of the large block the calling thread keeps (0: none)
};
Held held() noexcept;

}  // namespace kovel::node_alloc
