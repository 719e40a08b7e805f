// node_alloc.hpp: where term nodes get their memory.
//
// A node made by a constructor or a builder is one block, taken when it is made and given
// back when its last reference goes. The host may supply the allocator: the Python binding
// hands in the interpreter's own general allocator, which keeps size classes, hands empty
// arenas back to the system and is safe across fork, and under which every node is made and
// freed (each entry point holds the interpreter lock, and so does every place a last
// reference drops). Without a host, as in the core's own tests and the fuzzer, blocks come
// from malloc.
//
// A decode makes many nodes at once, and they are often freed all at once again. It carves
// them from chunks instead: blocks of up to kChunkBytes from the same allocator, filled in
// the order the nodes are made, each freed when the last node carved from it is. Taking a
// node is then a pointer bump, and its memory lies beside the nodes made with it, for the
// decode and for the release that walks them again. Any node of a decoded term may outlive
// the rest; it then keeps its chunk alive, kChunkBytes at most. A chunk is sized from the
// bytes still to decode, so that a small decode takes a small one.
//
// A large decode's root also keeps the list of its blocks (BlockPage). Most decoded terms
// are dropped whole, none of their nodes ever shared: a chunk learns when one of its nodes
// is, so the root's release can then free the blocks as they are, without reading a node.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

#include "port/port.hpp"

namespace kovel {

/// A block allocator for nodes. allocate returns null when memory runs out; release takes
/// back a block allocate gave; trim, if set, is called after a release frees kTrimBytes or
/// more of nodes in blocks of their own, so that the host can hand the memory of a dropped
/// peak back to the system. A decode's chunks do not count: they are small blocks, which a
/// small-object allocator hands back by itself (the interpreter's, an arena at a time), and
/// trimming after them only made the next decode fault the C library's pages in again.
struct NodeAllocator {
  void* (*allocate)(size_t n) noexcept;
  void (*release)(void* p) noexcept;
  void (*trim)() noexcept = nullptr;
};

/// The blocks one release must free before the allocator is trimmed. A release that large
/// takes milliseconds itself, and trimming costs a fraction of that.
inline constexpr size_t kTrimBytes = size_t{32} << 20;

namespace node_alloc {

inline void* system_allocate(size_t n) noexcept { return std::malloc(n); }
inline void system_release(void* p) noexcept { std::free(p); }

/// The allocator in use; read on every node made and freed.
extern NodeAllocator current;

/// A block of n bytes, aligned for a node; throws std::bad_alloc when memory runs out.
inline void* allocate(size_t n) {
  if (void* p = current.allocate(n)) return p;
  throw std::bad_alloc();
}
inline void release(void* p) noexcept { current.release(p); }

}  // namespace node_alloc

/// The head of a chunk; the nodes carved from it follow, 8-byte aligned.
struct alignas(8) NodeChunk {
  /// The nodes carved from it and not yet freed, and one while a carver fills it.
  std::atomic<uint32_t> live{1};
  uint16_t bytes = 0;  // the whole chunk, head included
  /// Set for good once a node carved from it is given a reference beyond its parent's.
  std::atomic<bool> shared{false};

  void mark_shared() noexcept {
    if (!shared.load(std::memory_order_relaxed)) shared.store(true, std::memory_order_relaxed);
  }
};

/// The size of a chunk: the largest block the interpreter's small-object allocator serves
/// from its own pools. Such blocks are taken and given back without a system call, and the
/// memory a release frees serves the next decode at once; larger ones come from the C
/// library, which hands them back to the system on release, so that the next decode of a
/// large term faults every page in anew.
inline constexpr size_t kChunkBytes = 512;
static_assert(kChunkBytes <= UINT16_MAX, "a chunk's size is 16 bits");
/// A node larger than this takes a block of its own, as a node made by a constructor does:
/// it would leave much of a chunk unused.
inline constexpr size_t kCarvedMost = kChunkBytes / 2;

/// A page of the list of the blocks a large decode took, kept by its root: each chunk, and
/// each node in a block of its own (marked by its low bit). Pages are blocks of the node
/// allocator, linked newest first, half the size of a chunk: pages of a chunk's size would
/// share the chunks' pools in the small-object allocator, which then spends about three
/// times as long taking and freeing a decode's chunks (measured on the corpus).
struct BlockPage {
  static constexpr size_t kEntries = (kChunkBytes / 2 - 2 * sizeof(void*)) / sizeof(void*);
  BlockPage* next;
  size_t count;
  void* entries[kEntries];
};
/// A decode with this many blocks or fewer keeps no list: the walk over its few nodes costs
/// less.
inline constexpr size_t kListedMinBlocks = 4;
/// Frees a list of pages.
void free_block_list(BlockPage* r) noexcept;

/// n rounded up to the 8-byte steps in which nodes are carved.
constexpr size_t carved_size(size_t n) noexcept { return (n + 7) & ~size_t{7}; }

/// Carves the nodes of one decode from chunks. One thread uses it, and no node it gives is
/// seen by another before the decode ends.
class NodeCarver {
 public:
  NodeCarver() = default;
  NodeCarver(const NodeCarver&) = delete;
  NodeCarver& operator=(const NodeCarver&) = delete;
  ~NodeCarver() {
    close();
    free_block_list(pages_);
  }

  /// True when the blocks taken so far are listed, and enough to be worth a list.
  bool listed() const noexcept { return pages_ && !unlisted_; }
  /// The list of the blocks taken so far, handed to the root of the decode; null when they
  /// are too few to be worth it, or a page of it could not be had (the root is then freed
  /// by a walk).
  BlockPage* block_list() noexcept { return unlisted_ ? nullptr : std::exchange(pages_, nullptr); }

  /// Says how many bytes of nodes are still to come, about: a new chunk is sized by it.
  void expect(size_t bytes) noexcept { coming_ = bytes; }

  /// Memory for a node of n bytes, and its slot: from the current chunk, or from a new one,
  /// or, for a large node, a block of its own with slot 0. Throws std::bad_alloc.
  void* take(size_t n, uint8_t& slot) {
    const size_t need = carved_size(n);
    if (need <= static_cast<size_t>(end_ - next_)) {
      slot = static_cast<uint8_t>((next_ - reinterpret_cast<char*>(chunk_)) >> 3);
      void* p = next_;
      next_ += need;
      // Nodes are written into memory the last release left cold: have the lines a few nodes
      // on (in this chunk, or in the next block, which is most often the next chunk) on the
      // way before they are written.
      KOVEL_PREFETCH_W(next_ + 256);
      KOVEL_UNPOISON(p, n);
      // Only this thread holds the chunk while it is being filled: no atomic update needed.
      chunk_->live.store(chunk_->live.load(std::memory_order_relaxed) + 1,
                         std::memory_order_relaxed);
      return p;
    }
    return take_slow(n, slot);
  }

  /// The chunk a node with the given slot was carved from.
  static NodeChunk* chunk_of(void* node, uint8_t slot) noexcept {
    return reinterpret_cast<NodeChunk*>(static_cast<char*>(node) - size_t{slot} * 8);
  }

 private:
  void* take_slow(size_t n, uint8_t& slot);
  /// Adds a block to the list.
  void list(void* block) noexcept {
    if (n_first_ < kListedMinBlocks) {
      first_[n_first_++] = block;
      return;
    }
    list_in_pages(block);
  }
  void list_in_pages(void* block) noexcept;
  /// Drops the carver's share of the current chunk.
  void close() noexcept;

  NodeChunk* chunk_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  size_t coming_ = 0;
  // Every block taken: the first few here, all of them in pages_ once there are more.
  void* first_[kListedMinBlocks] = {};
  size_t n_first_ = 0;
  BlockPage* pages_ = nullptr;
  bool unlisted_ = false;  // a page could not be had: the list is not whole
};

/// Frees a chunk whatever its count says: for the blocks of a whole decode, whose nodes are
/// known dead without reading them.
inline void release_chunk(NodeChunk* c) noexcept {
  KOVEL_UNPOISON(c, c->bytes);
  node_alloc::release(c);
}

/// Frees the memory of dead nodes. Nodes of one chunk in a row cost one change of its count,
/// and the chunk goes when its count does.
class NodeFreer {
 public:
  NodeFreer() = default;
  NodeFreer(const NodeFreer&) = delete;
  NodeFreer& operator=(const NodeFreer&) = delete;
  ~NodeFreer() { flush(); }

  /// Frees a dead node of n bytes (which only the sanitizer's poisoning reads).
  void free(void* node, uint8_t slot, size_t n) noexcept {
    if (slot == 0) return node_alloc::release(node);
    KOVEL_POISON(node, n);
    NodeChunk* c = NodeCarver::chunk_of(node, slot);
    if (c != chunk_) {
      flush();
      chunk_ = c;
      // A release walks a decoded term about in the order it was carved, and the allocator
      // hands out neighbouring blocks in turn: the next chunk is likely the next block.
      for (size_t at = kChunkBytes; at < 2 * kChunkBytes; at += 64)
        KOVEL_PREFETCH_W(reinterpret_cast<char*>(c) + at);
    }
    ++n_;
  }
  /// Takes the nodes counted so far off their chunk's count.
  void flush() noexcept {
    if (chunk_) flush_chunk();
  }

 private:
  void flush_chunk() noexcept;

  NodeChunk* chunk_ = nullptr;
  uint32_t n_ = 0;
};

/// Makes a the allocator of every node made from now on. Only while no node exists: a node
/// goes back to the allocator it came from, and no record says which that was.
void set_node_allocator(const NodeAllocator& a) noexcept;
/// The allocator in use.
NodeAllocator node_allocator() noexcept;

}  // namespace kovel
