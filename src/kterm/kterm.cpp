// kterm.cpp: node layout, allocation, release without recursion, structural equality.
#include "kterm/kterm.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace kovel {

namespace {

// Adds to a block size; a size past what memory can hold fails like a failed allocation.
size_t grow(size_t total, uint64_t more) {
  if (more > SIZE_MAX - total) throw std::bad_alloc();
  return total + static_cast<size_t>(more);
}

// Frees one node whose count reached zero; its children are the caller's business.
void free_node(const KTerm* t) noexcept { std::free(const_cast<KTerm*>(t)); }

}  // namespace

uint32_t checked_child_count(size_t n) {
  if (n > UINT32_MAX) throw std::bad_alloc();
  return static_cast<uint32_t>(n);
}

std::string_view KTerm::lang() const noexcept {
  return {text_base() + tag_len_, static_cast<size_t>(lang_len())};
}

uint64_t KTerm::lang_len() const noexcept {
  if (is_tuple()) return 0;
  uint64_t n;
  std::memcpy(&n, trailer(), sizeof n);
  return n;
}

std::optional<Span> KTerm::span() const noexcept {
  if (!has_span_) return std::nullopt;
  Span s;
  std::memcpy(&s, trailer() + lang_field(), sizeof s);
  return s;
}

KTerm* KTerm::make(Variant v, uint8_t index, std::string_view tag, std::string_view lang,
                   const KTerm* const* children, uint32_t n_children, std::string_view cmd_bytes,
                   uint64_t n_cmds, std::optional<Span> span) {
  const bool tuple = v == Variant::Tuple;
  size_t size = sizeof(KTerm);
  if (!tuple) size += sizeof(uint64_t);
  if (span) size += sizeof(Span);
  size = grow(size, uint64_t{n_children} * sizeof(KTerm*));
  size = grow(size, tag.size());
  if (!tuple) size = grow(size, lang.size());
  size = grow(size, cmd_bytes.size());

  void* mem = std::malloc(size);
  if (!mem) throw std::bad_alloc();
  auto* t = new (mem) KTerm();
  t->variant_ = v;
  t->index_ = tuple ? 0 : index;
  t->has_span_ = span.has_value();
  t->n_children_ = n_children;
  t->n_cmds_ = n_cmds;
  t->tag_len_ = tag.size();
  t->cmd_bytes_ = cmd_bytes.size();

  char* p = reinterpret_cast<char*>(t + 1);
  if (!tuple) {
    uint64_t n = lang.size();
    std::memcpy(p, &n, sizeof n);
    p += sizeof n;
  }
  if (span) {
    std::memcpy(p, &*span, sizeof(Span));
    p += sizeof(Span);
  }
  if (n_children) std::memcpy(p, children, n_children * sizeof(KTerm*));
  p += n_children * sizeof(KTerm*);
  if (!tag.empty()) std::memcpy(p, tag.data(), tag.size());
  p += tag.size();
  if (!tuple && !lang.empty()) {
    std::memcpy(p, lang.data(), lang.size());
    p += lang.size();
  }
  if (!cmd_bytes.empty()) std::memcpy(p, cmd_bytes.data(), cmd_bytes.size());
  return t;
}

bool KTerm::drop() const noexcept {
  uint32_t old = refs_.fetch_sub(1, std::memory_order_acq_rel);
  if (old == 1) return true;
  if (old >= kSaturated) pin();
  return false;
}

void KTerm::release(const KTerm* t) noexcept {
  if (!t->drop()) return;
  // Dying nodes whose children are still to be dropped wait on a list threaded through
  // their own n_cmds_ field, which nothing reads once the count is zero: release needs no
  // memory of its own, so it cannot fail, and its depth costs nothing.
  auto link = [](const KTerm* n) -> uint64_t& { return const_cast<KTerm*>(n)->n_cmds_; };
  const KTerm* pending = nullptr;
  const KTerm* node = t;
  for (;;) {
    for (uint32_t i = 0; i < node->n_children_; ++i) {
      const KTerm* c = node->children()[i];
      if (!c->drop()) continue;
      if (c->n_children_ == 0) {
        free_node(c);
      } else {
        link(c) = reinterpret_cast<uintptr_t>(pending);
        pending = c;
      }
    }
    free_node(node);
    if (!pending) return;
    node = pending;
    pending = reinterpret_cast<const KTerm*>(static_cast<uintptr_t>(link(node)));
  }
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
