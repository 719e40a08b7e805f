// kterm.hpp: the term node and the two handles that own it: KTermRef (shared) and UnsharedKTerm.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "kterm/node_alloc.hpp"
#include "port/port.hpp"
#include "term/cmd_or_hole.hpp"
#include "term/sterm.hpp"

// Bounds the tests can see: a checked build (the test builds) aborts on an index out of range.
#ifdef KOVEL_CHECKED
#define KOVEL_CHECK(cond) ((cond) ? void(0) : std::abort())
#else
#define KOVEL_CHECK(cond) void(0)
#endif

namespace kovel {

/// The three variants, numbered as in the byte form.
enum class Variant : uint8_t { Quote = 0, Unquote = 1, Tuple = 2 };

/// A half-open range placing a fragment; carried, never interpreted.
struct Span {
  uint64_t start = 0;
  uint64_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

class KTermRef;

/// An immutable term node. Each node is one piece of memory: this 20-byte header, then (for
/// a Quote or Unquote) the length of lang, the span (if any), the child pointers, and the
/// bytes of tag, lang and the command list (held in its byte form, after its count when that
/// is too large for the header). The fields after the header are 4-byte aligned only, and are
/// read and written by copying. The piece is a block of its own, or carved with its
/// neighbours from a chunk (node_alloc.hpp); the root of a large decode keeps the list of its
/// decode's blocks after all that. The count is atomic; a node is freed when its last
/// reference goes.
class KTerm {
 public:
  KTerm(const KTerm&) = delete;
  KTerm& operator=(const KTerm&) = delete;

  Variant variant() const noexcept { return static_cast<Variant>(kind_ & kVariantBits); }
  bool is_tuple() const noexcept { return variant() == Variant::Tuple; }
  /// The Quote/Unquote index (0 for a Tuple).
  uint8_t index() const noexcept { return index_; }
  std::string_view tag() const noexcept { return {text_base(), len_.tag}; }
  /// The Quote/Unquote language ("" for a Tuple).
  std::string_view lang() const noexcept;
  std::optional<Span> span() const noexcept;

  /// Tuple: the number of children; Quote/Unquote: 1, the inner term.
  uint32_t child_count() const noexcept { return n_children_; }
  const KTerm& child(uint32_t i) const noexcept { return *child_at(i); }
  /// The inner term of a Quote/Unquote.
  const KTerm& term() const noexcept { return *child_at(0); }
  /// A new shared reference to child i.
  KTermRef child_ref(uint32_t i) const noexcept;

  /// The number of command-list entries.
  uint64_t cmd_count() const noexcept { return cmd_list().count; }
  /// The command list in its byte form (without the count).
  std::string_view cmd_bytes() const noexcept { return cmd_list().bytes; }

  /// The command list in its byte form, and its number of entries.
  struct CmdList {
    std::string_view bytes;
    uint64_t count;
  };
  CmdList cmd_list() const noexcept {
    const char* p = text_base() + len_.tag + lang_len();
    if (few_cmds_ < kManyCmds) return {{p, len_.cmd_bytes}, few_cmds_};
    uint32_t n;
    std::memcpy(&n, p, sizeof n);
    return {{p + sizeof n, len_.cmd_bytes}, n};
  }

  /// Iterates the command list as CmdView entries.
  class CmdIter {
   public:
    CmdIter(const char* p, uint64_t left) noexcept : p_(p), left_(left) {}
    CmdView operator*() const noexcept {
      const char* q = p_;
      return next_cmd(q);
    }
    CmdIter& operator++() noexcept {
      next_cmd(p_);
      --left_;
      return *this;
    }
    bool operator!=(const CmdIter& o) const noexcept { return left_ != o.left_; }

   private:
    const char* p_;
    uint64_t left_;
  };
  struct CmdRange {
    const KTerm* t;
    CmdIter begin() const noexcept {
      const CmdList l = t->cmd_list();
      return {l.bytes.data(), l.count};
    }
    CmdIter end() const noexcept { return {nullptr, 0}; }
  };
  CmdRange cmds() const noexcept { return {this}; }

  /// The current count; for tests and diagnostics.
  uint32_t use_count() const noexcept { return refs_.load(std::memory_order_relaxed); }

  /// A count that reaches kSaturated stays in [kSaturated, 2^32) for good: the node is never
  /// freed (a leak, not a use after free). The count is reset to kPinned, halfway up that
  /// range, whenever it is seen there, so racing updates can never carry it out.
  static constexpr uint32_t kSaturated = uint32_t{1} << 31;
  static constexpr uint32_t kPinned = kSaturated + (kSaturated >> 1);

  /// Takes one more reference.
  void retain() const noexcept {
    if (refs_.fetch_add(1, std::memory_order_relaxed) >= kSaturated - 1) pin();
    // Its decode can no longer be freed without a walk (node_alloc.hpp).
    if (chunk_slot_ != 0)
      NodeCarver::chunk_of(const_cast<KTerm*>(this), chunk_slot_)->mark_shared();
  }
  /// Drops one reference; the last one frees the node and, without recursion or allocation,
  /// every descendant whose last reference it held.
  static void release(const KTerm* t) noexcept;

  /// Allocates a node with count 1, from carver if given; throws std::bad_alloc when memory
  /// runs out, and when tag, the command list or its byte form has 2^32 or more entries or
  /// bytes (the header keeps 32-bit lengths). Copies the n_children pointers and, once it
  /// has succeeded, owns one reference to each (on failure they stay the caller's).
  /// cmd_bytes must hold n_cmds entries written by encode_cmd. The root of a decode, made
  /// last, has room for its list of blocks, which keep_block_list then fills.
  static KTerm* make(Variant v, uint8_t index, std::string_view tag, std::string_view lang,
                     const KTerm* const* children, uint32_t n_children, std::string_view cmd_bytes,
                     uint64_t n_cmds, const std::optional<Span>& span, NodeCarver* carver = nullptr,
                     bool decode_root = false);
  /// Allocates a Tuple with no children and the one command Write(code), count 1; throws
  /// std::bad_alloc. The same node as make would build, written without going through a
  /// command list first: leaves are most of the nodes made.
  static KTerm* make_leaf(std::string_view tag, std::string_view code);
  /// Carves a Tuple with no children, count 1, from a decode's checked bytes: tag under 128
  /// bytes and cmd_bytes holding n_cmds < 128 entries of one-byte lengths, so that no
  /// length needs a check. Throws std::bad_alloc. Leaves are most of the nodes decoded.
  static KTerm* make_short_leaf(std::string_view tag, std::string_view cmd_bytes, uint8_t n_cmds,
                                NodeCarver& carver);
  /// Gives a decode root made just now its decode's list of blocks (or null, for none).
  void keep_block_list(BlockPage* list) noexcept {
    std::memcpy(reinterpret_cast<char*>(this) + node_bytes(), &list, sizeof list);
  }

 private:
  KTerm() = default;
  const char* children() const noexcept { return trailer() + lang_field() + span_field(); }
  const KTerm* child_at(uint64_t i) const noexcept {
    KOVEL_CHECK(i < n_children_);
    const KTerm* c;
    std::memcpy(&c, children() + i * sizeof c, sizeof c);
    return c;
  }
  const char* trailer() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  size_t lang_field() const noexcept { return is_tuple() ? 0 : sizeof(uint64_t); }
  size_t span_field() const noexcept { return (kind_ & kHasSpan) ? sizeof(Span) : 0; }
  uint64_t lang_len() const noexcept {
    if (is_tuple()) return 0;
    uint64_t n;
    std::memcpy(&n, trailer(), sizeof n);
    return n;
  }
  const char* text_base() const noexcept { return children() + n_children_ * sizeof(KTerm*); }
  /// The bytes the command count takes before the commands: none when the header holds it.
  size_t many_cmds_field() const noexcept { return few_cmds_ < kManyCmds ? 0 : sizeof(uint32_t); }

  /// The bytes of the node, and those of its block (before release takes over its fields).
  size_t node_bytes() const noexcept;
  size_t block_bytes() const noexcept {
    return node_bytes() + (kind_ & kDecodeRoot ? sizeof(BlockPage*) : 0);
  }
  /// A decode root's list of its decode's blocks (null when it keeps none).
  BlockPage* block_list() const noexcept {
    BlockPage* r;
    std::memcpy(&r, reinterpret_cast<const char*>(this) + node_bytes(), sizeof r);
    return r;
  }
  void pin() const noexcept { refs_.store(kPinned, std::memory_order_relaxed); }
  // The parent a dead node's release goes back to, kept in its lengths.
  void set_parent(KTerm* p) noexcept { std::memcpy(parent_, &p, sizeof p); }
  KTerm* parent() const noexcept {
    KTerm* p;
    std::memcpy(&p, parent_, sizeof p);
    return p;
  }
  /// Drops one reference; true when it was the last.
  bool drop() const noexcept;
  /// Frees a dead node and every descendant whose last reference it held.
  static void free_tree(KTerm* node) noexcept;
  /// free_tree's walk; gives the bytes of the blocks of their own it freed.
  static size_t walk_free(KTerm* node) noexcept;
  /// Frees a dead decode root's whole decode at once when no node of it is held from
  /// outside its term, adding the bytes of its blocks of their own to freed; false, having
  /// freed only the list of blocks, when some node is (or there is no list), and the caller
  /// walks it.
  static bool free_decode(KTerm* root, size_t& freed) noexcept;

  friend struct KTermCountAccess;  // tests drive a count to its limit through this

  static constexpr uint8_t kVariantBits = 0x03;
  static constexpr uint8_t kHasSpan = 0x04;
  static constexpr uint8_t kDecodeRoot = 0x08;  // a BlockPage* follows the node
  // A count of commands this large or larger is kept before the commands instead.
  static constexpr uint8_t kManyCmds = 0xFF;

  // The lengths of the tag and of the command list's byte form, while the node lives.
  struct Lengths {
    uint32_t tag;
    uint32_t cmd_bytes;
  };

  // Once the count is zero, release's walk keeps in it the child to go on with, and in the
  // lengths the parent to go back to.
  mutable std::atomic<uint32_t> refs_{1};
  uint8_t kind_ = static_cast<uint8_t>(Variant::Tuple);  // the Variant, and kHasSpan
  uint8_t index_ = 0;
  uint8_t chunk_slot_ = 0;  // node_alloc.hpp: where in its chunk, or 0 for a block of its own
  uint8_t few_cmds_ = 0;    // the number of commands, or kManyCmds
  uint32_t n_children_ = 0;
  union {
    Lengths len_ = {};
    char parent_[sizeof(KTerm*)];
  };
};

/// A shared reference to a node: copying takes a reference, moving hands it over.
class KTermRef {
 public:
  KTermRef() noexcept = default;
  /// Takes over the caller's reference.
  static KTermRef adopt(const KTerm* t) noexcept { return KTermRef(t); }
  /// Takes a new reference.
  static KTermRef share(const KTerm& t) noexcept {
    t.retain();
    return KTermRef(&t);
  }

  KTermRef(const KTermRef& o) noexcept : t_(o.t_) {
    if (t_) t_->retain();
  }
  KTermRef(KTermRef&& o) noexcept : t_(std::exchange(o.t_, nullptr)) {}
  KTermRef& operator=(KTermRef o) noexcept {
    std::swap(t_, o.t_);
    return *this;
  }
  ~KTermRef() {
    if (t_) KTerm::release(t_);
  }

  const KTerm& operator*() const noexcept { return *t_; }
  const KTerm* operator->() const noexcept { return t_; }
  const KTerm* get() const noexcept { return t_; }
  explicit operator bool() const noexcept { return t_ != nullptr; }
  /// Hands the reference to the caller.
  const KTerm* release() noexcept { return std::exchange(t_, nullptr); }

 private:
  explicit KTermRef(const KTerm* t) noexcept : t_(t) {}
  const KTerm* t_ = nullptr;
};

/// A node record that no one else holds yet; `share` turns it into a shared term.
class UnsharedKTerm {
 public:
  explicit UnsharedKTerm(KTerm* t) noexcept : t_(t) {}
  UnsharedKTerm(UnsharedKTerm&& o) noexcept : t_(std::exchange(o.t_, nullptr)) {}
  UnsharedKTerm& operator=(UnsharedKTerm&& o) noexcept {
    std::swap(t_, o.t_);
    return *this;
  }
  ~UnsharedKTerm() {
    if (t_) KTerm::release(t_);
  }
  const KTerm& operator*() const noexcept { return *t_; }
  const KTerm* operator->() const noexcept { return t_; }
  /// Makes the record shared (count stays 1, now held by the result).
  KTermRef share() && noexcept { return KTermRef::adopt(std::exchange(t_, nullptr)); }

 private:
  KTerm* t_;
};

/// A length or count as a node keeps it; one past 2^32 - 1 fails like memory that cannot be
/// had (std::bad_alloc), before anything is made.
inline uint32_t checked_u32(uint64_t n) {
  if (n > UINT32_MAX) throw std::bad_alloc();
  return static_cast<uint32_t>(n);
}

/// Adds to a block size; a size past what memory can hold fails like a failed allocation.
inline size_t checked_add(size_t total, uint64_t more) {
  if (more > SIZE_MAX - total) throw std::bad_alloc();
  return total + static_cast<size_t>(more);
}

// Inline, so that a fixed tag (name(s)) copies as a constant.
inline KTerm* KTerm::make_leaf(std::string_view tag, std::string_view code) {
  // The command: 0x00 (not a HOLE), Write, the code's length as a varint, the code.
  const Lengths len = {checked_u32(tag.size()),
                       checked_u32(checked_add(2 + wire::varint_size(code.size()), code.size()))};
  const size_t size = checked_add(sizeof(KTerm) + len.cmd_bytes, tag.size());
  auto* t = new (node_alloc::allocate(size)) KTerm();  // throws std::bad_alloc
  t->few_cmds_ = 1;
  t->len_ = len;
  char* p = reinterpret_cast<char*>(t + 1);
  wire::copy_bytes(p, tag.data(), tag.size());
  p += tag.size();
  *p++ = 0x00;
  *p++ = static_cast<char>(CmdKind::Write);
  p = wire::write_varint(p, code.size());
  wire::copy_bytes(p, code.data(), code.size());
  return t;
}

// Inline, so that what a caller fixes (a Tuple, no span, no children) folds away.
KOVEL_INLINE KTerm* KTerm::make(Variant v, uint8_t index, std::string_view tag,
                                std::string_view lang, const KTerm* const* children,
                                uint32_t n_children, std::string_view cmd_bytes, uint64_t n_cmds,
                                const std::optional<Span>& span, NodeCarver* carver,
                                bool decode_root) {
  const bool tuple = v == Variant::Tuple;
  const Lengths len = {checked_u32(tag.size()), checked_u32(cmd_bytes.size())};
  const uint32_t count = checked_u32(n_cmds);
  const bool many = count >= kManyCmds;
  size_t size = sizeof(KTerm);
  if (many) size += sizeof count;
  if (!tuple) size += sizeof(uint64_t);
  if (span) size += sizeof(Span);
  if (decode_root) size += sizeof(BlockPage*);
  size = checked_add(size, uint64_t{n_children} * sizeof(KTerm*));
  size = checked_add(size, tag.size());
  if (!tuple) size = checked_add(size, lang.size());
  size = checked_add(size, cmd_bytes.size());

  uint8_t slot = 0;
  void* block = carver ? carver->take(size, slot) : node_alloc::allocate(size);
  auto* t = new (block) KTerm();  // allocation throws std::bad_alloc
  t->kind_ = static_cast<uint8_t>(static_cast<uint8_t>(v) | (span ? kHasSpan : 0) |
                                  (decode_root ? kDecodeRoot : 0));
  t->index_ = tuple ? 0 : index;
  t->chunk_slot_ = slot;
  t->few_cmds_ = many ? kManyCmds : static_cast<uint8_t>(count);
  t->n_children_ = n_children;
  t->len_ = len;

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
  wire::copy_bytes(p, tag.data(), tag.size());
  p += tag.size();
  if (!tuple) {
    wire::copy_bytes(p, lang.data(), lang.size());
    p += lang.size();
  }
  if (many) {
    std::memcpy(p, &count, sizeof count);
    p += sizeof count;
  }
  wire::copy_bytes(p, cmd_bytes.data(), cmd_bytes.size());
  return t;
}

KOVEL_INLINE KTerm* KTerm::make_short_leaf(std::string_view tag, std::string_view cmd_bytes,
                                           uint8_t n_cmds, NodeCarver& carver) {
  uint8_t slot;
  auto* t = new (carver.take(sizeof(KTerm) + tag.size() + cmd_bytes.size(), slot)) KTerm();
  t->chunk_slot_ = slot;
  t->few_cmds_ = n_cmds;
  t->len_ = {static_cast<uint32_t>(tag.size()), static_cast<uint32_t>(cmd_bytes.size())};
  char* p = reinterpret_cast<char*>(t + 1);
  wire::copy_bytes(p, tag.data(), tag.size());
  wire::copy_bytes(p + tag.size(), cmd_bytes.data(), cmd_bytes.size());
  return t;
}

inline KTermRef KTerm::child_ref(uint32_t i) const noexcept { return KTermRef::share(child(i)); }

/// Emits the term's commands and, through its HOLE entries, its sub-terms into w.
/// Walks with an explicit stack; throws InternalFault when a Tuple runs out of children.
void write(const KTerm& t, PrefixWriter& w);
inline void write(const KTermRef& t, PrefixWriter& w) { write(*t, w); }

/// Structural equality: variants, texts, indices, spans, commands and children (iterative).
bool equal(const KTerm& a, const KTerm& b) noexcept;

}  // namespace kovel
