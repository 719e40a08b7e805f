// node_alloc.cpp: the node allocator in use, and the chunks decodes carve nodes from.
#include "kterm/node_alloc.hpp"

#include <algorithm>
#include <cstdint>

namespace kovel {

NodeAllocator node_alloc::current = {node_alloc::system_allocate, node_alloc::system_release};

void set_node_allocator(const NodeAllocator& a) noexcept { node_alloc::current = a; }
NodeAllocator node_allocator() noexcept { return node_alloc::current; }

namespace {

static_assert(kChunkBytes / 8 <= UINT8_MAX, "a node's slot in its chunk is 8 bits");

// Takes n off c's count; the last frees it. As with a node's count: when the count is all
// the caller's, no other thread can change it, and no atomic update is needed.
void drop_chunk(NodeChunk* c, uint32_t n) noexcept {
  if (c->live.load(std::memory_order_acquire) == n ||
      c->live.fetch_sub(n, std::memory_order_acq_rel) == n)
    release_chunk(c);
}

// An own block in the list of a decode's blocks.
void* own_block_entry(void* node) noexcept {
  return reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(node) | 1);
}

}  // namespace

void* NodeCarver::take_slow(size_t n, uint8_t& slot) {
  if (n > kCarvedMost) {
    slot = 0;
    void* p = node_alloc::allocate(n);
    list(own_block_entry(p));
    return p;
  }
  // The next chunk holds what is still to come, up to kChunkBytes; a decode near its end, or
  // a small one, takes no more than it needs.
  const size_t bytes = carved_size(
      sizeof(NodeChunk) + std::clamp(coming_, carved_size(n), kChunkBytes - sizeof(NodeChunk)));
  auto* c = new (node_alloc::allocate(bytes)) NodeChunk();  // throws std::bad_alloc
  c->bytes = static_cast<uint16_t>(bytes);
  list(c);
  KOVEL_POISON(c + 1, bytes - sizeof(NodeChunk));  // until each node is carved
  close();
  chunk_ = c;
  next_ = reinterpret_cast<char*>(c + 1);
  end_ = reinterpret_cast<char*>(c) + bytes;
  return take(n, slot);
}

void NodeCarver::list_in_pages(void* block) noexcept {
  if (unlisted_) return;
  if (!pages_ || pages_->count == BlockPage::kEntries) {
    // Without the exception of node_alloc::allocate: a list not made costs only speed.
    auto* page = static_cast<BlockPage*>(node_alloc::current.allocate(sizeof(BlockPage)));
    if (!page) {
      unlisted_ = true;
      return;
    }
    page->next = pages_;
    page->count = 0;
    if (!pages_) {  // the first page takes the first blocks too
      std::copy(first_, first_ + kListedMinBlocks, page->entries);
      page->count = kListedMinBlocks;
    }
    pages_ = page;
  }
  pages_->entries[pages_->count++] = block;
}

void free_block_list(BlockPage* r) noexcept {
  while (r) node_alloc::release(std::exchange(r, r->next));
}

void NodeCarver::close() noexcept {
  if (!chunk_) return;
  // A chunk none of whose nodes lives any more (a decode that failed early) goes at once.
  drop_chunk(chunk_, 1);
  chunk_ = nullptr;
  next_ = end_ = nullptr;
}

void NodeFreer::flush_chunk() noexcept {
  drop_chunk(chunk_, n_);
  chunk_ = nullptr;
  n_ = 0;
}

}  // namespace kovel
