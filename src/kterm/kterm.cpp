// kterm.cpp: node layout, allocation, release without recursion, structural equality.
#include "kterm/kterm.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "kterm/node_alloc.hpp"
#include "port/port.hpp"

namespace kovel {

static_assert(sizeof(KTerm) == 24, "the header of every node");

std::string_view KTerm::lang() const noexcept {
  return {text_base() + len_.tag, static_cast<size_t>(lang_len())};
}

uint64_t KTerm::lang_len() const noexcept {
  if (is_tuple()) return 0;
  uint64_t n;
  std::memcpy(&n, trailer(), sizeof n);
  return n;
}

std::optional<Span> KTerm::span() const noexcept {
  if (!(kind_ & kHasSpan)) return std::nullopt;
  Span s;
  std::memcpy(&s, trailer() + lang_field(), sizeof s);
  return s;
}

KTerm* KTerm::make_leaf(std::string_view tag, std::string_view code) {
  // The command: 0x00 (not a HOLE), Write, the code's length as a varint, the code.
  size_t n_len = 1;
  for (uint64_t v = code.size(); v >= 0x80; v >>= 7) ++n_len;
  const Lengths len = {checked_u32(tag.size()), 1};
  const uint32_t n_cmd_bytes = checked_u32(checked_add(2 + n_len, code.size()));
  const size_t size = checked_add(sizeof(KTerm) + n_cmd_bytes, tag.size());
  auto* t = new (node_alloc::allocate(size)) KTerm();  // throws std::bad_alloc
  t->len_ = len;
  t->cmd_bytes_ = n_cmd_bytes;
  char* p = reinterpret_cast<char*>(t + 1);
  wire::copy_bytes(p, tag.data(), tag.size());
  p += tag.size();
  *p++ = 0x00;
  *p++ = static_cast<char>(CmdKind::Write);
  uint64_t v = code.size();
  for (; v >= 0x80; v >>= 7) *p++ = static_cast<char>((v & 0x7F) | 0x80);
  *p++ = static_cast<char>(v);
  wire::copy_bytes(p, code.data(), code.size());
  return t;
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

size_t KTerm::block_bytes() const noexcept {
  size_t n = sizeof(KTerm) + lang_field() + span_field() + n_children_ * sizeof(KTerm*);
  return n + len_.tag + lang_len() + cmd_bytes_;
}

void KTerm::release(const KTerm* t) noexcept {
  if (!t->drop()) return;
  // A depth-first walk that frees every node after its children, left to right. It needs no
  // memory of its own, so it cannot fail, and its depth costs nothing: a dead node's lengths,
  // which nothing reads once the count is zero, link it to its parent, and its cmd_bytes_
  // field keeps the child to go on with.
  NodeFreer freer;
  auto* node = const_cast<KTerm*>(t);
  size_t freed = node->block_bytes();
  node->parent_ = nullptr;
  uint32_t i = 0;
  for (;;) {
    const uint32_t n = node->n_children_;
    if (i < n) {
      const KTerm* c = node->child_at(i++);
      // Children of a wide node may lie apart in memory: fetch a few ahead of their drop.
      if (i + 4 < n) KOVEL_PREFETCH_W(node->child_at(i + 4));
      if (!c->drop()) continue;
      auto* child = const_cast<KTerm*>(c);
      const size_t bytes = child->block_bytes();
      freed += bytes;
      if (child->n_children_ == 0) {
        freer.free(child, child->chunk_slot_, bytes);
        continue;
      }
      node->cmd_bytes_ = i;
      child->parent_ = node;
      node = child;
      i = 0;
      continue;
    }
    KTerm* parent = node->parent_;
    // Its lengths are gone: what it still knows the size of ends where its texts begin.
    freer.free(node, node->chunk_slot_,
               static_cast<size_t>(node->text_base() - reinterpret_cast<const char*>(node)));
    if (!parent) break;
    node = parent;
    i = node->cmd_bytes_;
  }
  freer.flush();  // the last chunks go back before the allocator is trimmed
  if (freed >= kTrimBytes && node_alloc::current.trim) node_alloc::current.trim();
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
