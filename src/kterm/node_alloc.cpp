// node_alloc.cpp: the slow paths of the node blocks: slabs, the depot, a thread's end.
#include "kterm/node_alloc.hpp"

#include <malloc.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace kovel::node_alloc {

constinit thread_local ThreadCache tls_cache = {};

namespace {

constexpr size_t kSlab = 256 * 1024;  // carved into blocks as they are needed
constexpr uint32_t kCarve = 32;       // blocks carved into an empty list at once

}  // namespace

/// A full list set aside or in the depot: its bookkeeping lives in its first block.
struct BatchHead {
  FreeBlock* next;  // the first block's own link: the rest of the batch
  BatchHead* next_batch;
  FreeBlock* tail;
  uint32_t n;
};
static_assert(sizeof(BatchHead) <= kMinPooled);

namespace {

/// The unused end of a slab whose thread ended; its bookkeeping lives in its first bytes.
struct Leftover {
  Leftover* next;
  char* end;
};

/// Batches handed over by threads, per class, and the slab ends of threads that ended. Never
/// destroyed: a thread may end after the process's static objects.
struct Depot {
  std::mutex lock;
  BatchHead* batches[kClasses + 1] = {};
  std::atomic<uint32_t> n_batches[kClasses + 1] = {};
  Leftover* leftovers = nullptr;
};

std::atomic<uint64_t> slabs_taken{0};

Depot& depot() noexcept {
  static Depot* d = new Depot;
  return *d;
}

void give(uint8_t c, BatchHead* b) noexcept {
  Depot& d = depot();
  std::lock_guard<std::mutex> held(d.lock);
  b->next_batch = d.batches[c];
  d.batches[c] = b;
  d.n_batches[c].fetch_add(1, std::memory_order_relaxed);
}

/// Makes the thread's list of class c a batch (its bookkeeping in its first block).
BatchHead* seal(ThreadCache& tc, uint8_t c) noexcept {
  auto* b = reinterpret_cast<BatchHead*>(tc.head[c]);
  b->tail = tc.tail[c];
  b->n = tc.count[c];
  tc.head[c] = tc.tail[c] = nullptr;
  tc.count[c] = 0;
  return b;
}

/// Makes batch b the thread's (empty) list of class c.
void unseal(ThreadCache& tc, uint8_t c, BatchHead* b) noexcept {
  tc.head[c] = reinterpret_cast<FreeBlock*>(b);
  tc.tail[c] = b->tail;
  tc.count[c] = b->n;
}

/// Hands every list of the thread to the depot when the thread ends.
struct Reaper {
  ~Reaper() {
    ThreadCache& tc = tls_cache;
    for (unsigned c = 1; c <= kClasses; ++c) {
      auto k = static_cast<uint8_t>(c);
      if (tc.count[c] > 0) give(k, seal(tc, k));
      if (tc.spare[c]) give(k, tc.spare[c]);
      tc.spare[c] = nullptr;
    }
    if (static_cast<size_t>(tc.bump_end - tc.bump) >= kMaxPooled) {
      // The slab's unused end serves the next thread that needs one.
      auto* l = reinterpret_cast<Leftover*>(tc.bump);
      l->end = tc.bump_end;
      Depot& d = depot();
      std::lock_guard<std::mutex> held(d.lock);
      l->next = d.leftovers;
      d.leftovers = l;
    }
    tc.bump = tc.bump_end = nullptr;
    std::free(std::exchange(tc.large, nullptr));
    tc.large_size = 0;
    dead = true;
  }
  static thread_local bool dead;
};
thread_local bool Reaper::dead = false;

/// Makes sure the thread's end hands its lists over. False once the thread is ending: blocks
/// given back then stay where they are.
bool enrol(ThreadCache& tc) noexcept {
  if (tc.registered) return true;
  if (Reaper::dead) return false;
  static thread_local Reaper reaper;  // its destructor runs when the thread ends
  (void)reaper;
  tc.registered = true;
  return true;
}

}  // namespace

void* refill(ThreadCache& tc, uint8_t c) {
  enrol(tc);
  BatchHead* b = std::exchange(tc.spare[c], nullptr);
  Depot& d = depot();
  if (!b && d.n_batches[c].load(std::memory_order_relaxed) > 0) {
    std::lock_guard<std::mutex> held(d.lock);
    b = d.batches[c];
    if (b) {
      d.batches[c] = b->next_batch;
      d.n_batches[c].fetch_sub(1, std::memory_order_relaxed);
    }
  }
  if (b) {
    unseal(tc, c, b);
    return allocate(tc, c, block_size(c));
  }
  const size_t size = block_size(c);
  if (static_cast<size_t>(tc.bump_end - tc.bump) < size) {
    Leftover* l = nullptr;
    {  // once per slab's worth of blocks: the lock costs nothing that shows
      std::lock_guard<std::mutex> held(d.lock);
      if ((l = d.leftovers)) d.leftovers = l->next;
    }
    if (l) {
      tc.bump = reinterpret_cast<char*>(l);
      tc.bump_end = l->end;
    } else {
      void* slab = std::malloc(kSlab);
      if (!slab) throw std::bad_alloc();
      slabs_taken.fetch_add(1, std::memory_order_relaxed);
      tc.bump = static_cast<char*>(slab);
      tc.bump_end = tc.bump + kSlab;
    }
  }
  // One block for the caller, and a few more onto the (empty) list while the slab lasts.
  void* out = tc.bump;
  tc.bump += size;
  for (uint32_t i = 0; i < kCarve && static_cast<size_t>(tc.bump_end - tc.bump) >= size; ++i) {
    auto* b = reinterpret_cast<FreeBlock*>(tc.bump);
    tc.bump += size;
    b->next = tc.head[c];
    if (!tc.head[c]) tc.tail[c] = b;
    tc.head[c] = b;
    ++tc.count[c];
  }
  return out;
}

void overflow(ThreadCache& tc, uint8_t c) noexcept {
  if (!enrol(tc) || tc.count[c] < batch_size(c)) return;
  // The full list becomes the spare; a spare already there goes to the depot first.
  if (tc.spare[c]) give(c, tc.spare[c]);
  tc.spare[c] = seal(tc, c);
}

void* allocate_large(ThreadCache& tc, size_t n) {
  // A kept block serves a request it fits to within about 6%, so a node never holds much
  // more than it needs.
  if (tc.large && n <= tc.large_size && tc.large_size - n <= n / 16 + 4096) {
    tc.large_size = 0;
    return std::exchange(tc.large, nullptr);
  }
  void* p = std::malloc(n);
  if (!p) throw std::bad_alloc();
  return p;
}

void deallocate_large(ThreadCache& tc, void* p) noexcept {
  constexpr size_t kMinKept = 64 * 1024, kMaxKept = 4 * 1024 * 1024;
  const size_t size = KOVEL_NODE_POOL ? malloc_usable_size(p) : 0;
  if (size < kMinKept || size > kMaxKept || !enrol(tc)) {
    std::free(p);
    return;
  }
  std::free(std::exchange(tc.large, p));
  tc.large_size = size;
}

Held held() noexcept {
  Held h = {};
  h.slabs = slabs_taken.load(std::memory_order_relaxed);
  h.large = tls_cache.large ? tls_cache.large_size : 0;
  Depot& d = depot();
  std::lock_guard<std::mutex> lock(d.lock);
  for (unsigned c = 1; c <= kClasses; ++c) {
    for (BatchHead* b = d.batches[c]; b; b = b->next_batch) h.depot[c] += b->n;
    h.local[c] = tls_cache.count[c];
    if (tls_cache.spare[c]) h.local[c] += tls_cache.spare[c]->n;
  }
  return h;
}

}  // namespace kovel::node_alloc
