// kterm.cpp: node layout, allocation, release without recursion, structural equality.
#include "kterm/kterm.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace kovel {

namespace {

[[noreturn]] void out_of_memory() {
  std::fputs("kovel: out of memory\n", stderr);
  std::abort();
}

// Adds to a block size, ending the process on overflow as on any failed allocation.
size_t grow(size_t total, uint64_t more) {
  if (more > SIZE_MAX - total) out_of_memory();
  return total + static_cast<size_t>(more);
}

// Frees one node whose count reached zero; its children are the caller's business.
void free_node(const KTerm* t) noexcept { std::free(const_cast<KTerm*>(t)); }

}  // namespace

uint32_t checked_child_count(size_t n) {
  if (n > UINT32_MAX) out_of_memory();
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
  if (!mem) out_of_memory();
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

void KTerm::release(const KTerm* t) noexcept {
  if (t->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // Release walks down with an explicit stack. A node that held the last reference to
  // exactly one child with children of its own continues with that child directly, so a
  // chain needs no stack at all.
  std::vector<const KTerm*> pending;
  const KTerm* node = t;
  for (;;) {
    const KTerm* next = nullptr;
    for (uint32_t i = 0; i < node->n_children_; ++i) {
      const KTerm* c = node->children()[i];
      if (c->refs_.fetch_sub(1, std::memory_order_acq_rel) != 1) continue;
      if (c->n_children_ == 0) {
        free_node(c);
      } else if (!next) {
        next = c;
      } else {
        pending.push_back(c);
      }
    }
    free_node(node);
    if (next) {
      node = next;
    } else if (!pending.empty()) {
      node = pending.back();
      pending.pop_back();
    } else {
      return;
    }
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
