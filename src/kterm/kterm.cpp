// kterm.cpp: node layout, allocation, release without recursion, structural equality.
#include "kterm/kterm.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "kterm/node_alloc.hpp"
#include "port/port.hpp"

namespace kovel {

static_assert(sizeof(KTerm) == 20, "the header of every node");

std::string_view KTerm::lang() const noexcept {
  return {text_base() + len_.tag, static_cast<size_t>(lang_len())};
}

std::optional<Span> KTerm::span() const noexcept {
  if (!(kind_ & kHasSpan)) return std::nullopt;
  Span s;
  std::memcpy(&s, trailer() + lang_field(), sizeof s);
  return s;
}

bool KTerm::drop() const noexcept {
  // A count of one is the caller's own reference: no other thread can hold one to change it,
  // so the last reference of an unshared node costs no atomic update.
  if (refs_.load(std::memory_order_acquire) == 1) return true;
  uint32_t old = refs_.fetch_sub(1, std::memory_order_acq_rel);
  if (old == 1) return true;
  if (old >= kSaturated) pin();
  return false;
}

size_t KTerm::node_bytes() const noexcept {
  size_t n = sizeof(KTerm) + lang_field() + span_field() + n_children_ * sizeof(KTerm*);
  return n + len_.tag + lang_len() + many_cmds_field() + len_.cmd_bytes;
}

void KTerm::release(const KTerm* t) noexcept {
  if (!t->drop()) return;
  auto* node = const_cast<KTerm*>(t);
  if (node->n_children_ != 0 || node->chunk_slot_ != 0) return free_tree(node);
  // Most terms a caller drops are leaves made by a constructor: no walk, no chunk, and
  // kept apart from the walk, no set-up for one.
  const size_t bytes = node->block_bytes();
  node_alloc::release(node);
  if (bytes >= kTrimBytes && node_alloc::current.trim) node_alloc::current.trim();
}

KOVEL_NOINLINE void KTerm::free_tree(KTerm* node) noexcept {
  size_t freed = 0;
  if (!(node->kind_ & kDecodeRoot) || !free_decode(node, freed)) freed += walk_free(node);
  if (freed >= kTrimBytes && node_alloc::current.trim) node_alloc::current.trim();
}

bool KTerm::free_decode(KTerm* root, size_t& freed) noexcept {
  BlockPage* const list = root->block_list();
  if (!list) return false;
  // Every node of the decode is alive while its root is, and each is held by its parent.
  // One held by anything else was given a reference by retain(), which marks its chunk; a
  // node of its own block is counted instead (the root, now dead, at one or zero). The blocks go
  // newest first, so that the allocator hands them out again in the order they were taken.
  size_t own_bytes = 0;
  for (BlockPage* page = list; page; page = page->next) {
    for (size_t i = page->count; i-- > 0;) {
      const auto bits = reinterpret_cast<uintptr_t>(page->entries[i]);
      bool held;
      if (bits & 1) {
        const auto* own = reinterpret_cast<const KTerm*>(bits - 1);
        held = own->refs_.load(std::memory_order_acquire) > 1;
        own_bytes += own->block_bytes();
      } else {
        held = reinterpret_cast<const NodeChunk*>(bits)->shared.load(std::memory_order_acquire);
      }
      if (held) {
        free_block_list(list);
        return false;
      }
    }
  }
  for (BlockPage* page = list; page; page = page->next) {
    for (size_t i = page->count; i-- > 0;) {
      const auto bits = reinterpret_cast<uintptr_t>(page->entries[i]);
      if (bits & 1)
        node_alloc::release(reinterpret_cast<KTerm*>(bits - 1));
      else
        release_chunk(reinterpret_cast<NodeChunk*>(bits));
    }
  }
  free_block_list(list);
  freed += own_bytes;
  return true;
}

size_t KTerm::walk_free(KTerm* node) noexcept {
  // A depth-first walk that frees every node after its children, left to right. It needs no
  // memory of its own, so it cannot fail, and its depth costs nothing: in a dead node, which
  // nothing else reads once the count is zero, the lengths link it to its parent and the
  // count keeps the child to go on with.
  NodeFreer freer;
  // The bytes of blocks of their own freed, for the trim.
  size_t freed = node->chunk_slot_ == 0 ? node->block_bytes() : 0;
  node->set_parent(nullptr);
  uint32_t i = 0;
  for (;;) {
    const uint32_t n = node->n_children_;
    if (i < n) {
      const KTerm* c = node->child_at(i++);
      // Children of a wide node may lie apart in memory: fetch a few ahead of their drop.
      if (i + 4 < n) KOVEL_PREFETCH_W(node->child_at(i + 4));
      if (!c->drop()) continue;
      auto* child = const_cast<KTerm*>(c);
      // A decoded term spliced into this one.
      if ((child->kind_ & kDecodeRoot) && free_decode(child, freed)) continue;
      const bool own = child->chunk_slot_ == 0;
      // Its size matters to a block of its own, and to the sanitizer, which poisons it.
      const size_t bytes = own || port::kPoisoning ? child->block_bytes() : 0;
      if (own) freed += bytes;
      if (child->n_children_ == 0) {
        freer.free(child, child->chunk_slot_, bytes);
        continue;
      }
      node->refs_.store(i, std::memory_order_relaxed);
      child->set_parent(node);
      node = child;
      i = 0;
      continue;
    }
    KTerm* parent = node->parent();
    // For the sanitizer: its lengths are gone, and what it still knows the size of ends where
    // its texts begin.
    const auto known = static_cast<size_t>(node->text_base() - reinterpret_cast<const char*>(node));
    freer.free(node, node->chunk_slot_, port::kPoisoning ? known : 0);
    if (!parent) break;
    node = parent;
    i = node->refs_.load(std::memory_order_relaxed);
  }
  freer.flush();  // the last chunks go back before the allocator is trimmed
  return freed;
}

bool equal(const KTerm& a, const KTerm& b) noexcept {
  std::vector<std::pair<const KTerm*, const KTerm*>> todo;
  todo.emplace_back(&a, &b);
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x == y) continue;
    if (x->variant() != y->variant() || x->index() != y->index() || x->tag() != y->tag() ||
        x->lang() != y->lang() || x->span() != y->span() || x->cmd_count() != y->cmd_count() ||
        x->cmd_bytes() != y->cmd_bytes() || x->child_count() != y->child_count())
      return false;
    for (uint32_t i = 0; i < x->child_count(); ++i) todo.emplace_back(&x->child(i), &y->child(i));
  }
  return true;
}

}  // namespace kovel
