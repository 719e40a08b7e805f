// postcard.cpp: a term's byte form, encoded and decoded with explicit stacks.
#include "kterm/postcard.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "kterm/node_alloc.hpp"

namespace kovel {

namespace {

using wire::DecodeError;

// Everything of a node that comes before its children or inner term.
void encode_head(const KTerm& t, std::string& out) {
  out.push_back(static_cast<char>(t.variant()));
  wire::put_text(out, t.tag());
  if (t.is_tuple()) {
    wire::put_varint(out, t.child_count());
  } else {
    out.push_back(static_cast<char>(t.index()));
    wire::put_text(out, t.lang());
  }
}

// Everything of a node that comes after its children or inner term.
void encode_tail(const KTerm& t, std::string& out) {
  const KTerm::CmdList cmds = t.cmd_list();
  wire::put_varint(out, cmds.count);
  out.append(cmds.bytes);  // held in its byte form already
  if (t.is_tuple()) return;
  if (auto s = t.span()) {
    out.push_back('\x01');
    wire::put_varint(out, s->start);
    wire::put_varint(out, s->end);
  } else {
    out.push_back('\x00');
  }
}

}  // namespace

void encode(const KTerm& t, std::string& out, Poll poll) {
  struct Frame {
    const KTerm* node;
    uint32_t next_child;
  };
  PollClock clock(poll);
  std::vector<Frame> stack;
  encode_head(t, out);
  stack.push_back({&t, 0});
  while (!stack.empty()) {
    clock.grew(out.size());  // every step writes a byte or more
    Frame& top = stack.back();
    if (top.next_child < top.node->child_count()) {
      const KTerm& c = top.node->child(top.next_child++);
      encode_head(c, out);
      stack.push_back({&c, 0});  // may move top: not used past this point
      continue;
    }
    encode_tail(*top.node, out);
    stack.pop_back();
  }
}

std::string postcard_bytes(const KTerm& t, Poll poll) {
  std::string out;
  encode(t, out, poll);
  return out;
}

namespace {

// The bytes of nodes a byte of input makes, about, for sizing the chunks nodes are carved
// from: a short leaf takes 16 bytes of input and about 40 of nodes with its parent's
// reference to it, and the estimate errs on the large side.
constexpr size_t kNodeBytesPerByte = 3;

// At most 1 MiB worth of child references is reserved ahead of reading them.
constexpr uint64_t kMaxChildReserve = (1u << 20) / sizeof(KTerm*);

// A node whose head has been read and whose children are being read.
struct Pending {
  Variant variant;
  uint8_t index;
  std::string_view tag;   // points into the input
  std::string_view lang;  // points into the input
  uint64_t children_left;
  size_t first_child;  // where its children start on the shared child stack
};

// The room of the two stacks that a decode on this thread left behind.
struct Spare {
  std::vector<Pending> stack;
  std::vector<const KTerm*> kids;
};
thread_local Spare spare;

// Keeps v's room in slot for the thread's next decode if it is larger than what slot has and
// at most `most` elements.
template <class T>
void keep_room(std::vector<T>& v, std::vector<T>& slot, size_t most) noexcept {
  v.clear();
  if (v.capacity() <= most && v.capacity() > slot.capacity()) slot = std::move(v);
}

// The end of n entries at p read as if each varint were one byte, or null when the bytes run
// out or an entry's variant or kind is not one of the few known. The caller then checks that
// every byte read is below 0x80: if so, each varint was one byte indeed and each text is valid
// UTF-8, and the entries are well-formed (most command lists are such); if not, they are read
// again entry by entry.
const char* short_entries(const char* p, const char* end, uint64_t n) noexcept {
  for (uint64_t i = 0; i < n; ++i) {
    if (p == end) return nullptr;
    const auto b = static_cast<uint8_t>(*p++);
    if (b == 1) continue;  // HOLE
    if (b != 0 || p == end) return nullptr;
    const auto k = static_cast<uint8_t>(*p++);
    if (k > 3) return nullptr;
    if (!has_text(static_cast<CmdKind>(k))) continue;
    if (p == end) return nullptr;
    const auto len = static_cast<uint8_t>(*p++);
    if (len > static_cast<size_t>(end - p)) return nullptr;
    p += len;
  }
  return p;
}

class Decoder {
 public:
  Decoder(std::string_view in, Poll poll)
      : r_(in),
        start_(in.data()),
        ascii_start_(in.data()),
        ascii_end_(in.data()),
        clock_(poll),
        stack_(std::exchange(spare.stack, {})),
        kids_(std::exchange(spare.kids, {})) {}

  ~Decoder() {
    for (const KTerm* t : kids_) KTerm::release(t);
    // The stacks' room serves the thread's next decode, up to 1 MiB each, so that a wide or
    // deep term is not given fresh memory, grown step by step, on every call. (A decode that
    // a poll starts inside this one finds no spare and makes its own.)
    keep_room(stack_, spare.stack, (size_t{1} << 20) / sizeof(Pending));
    keep_room(kids_, spare.kids, kMaxChildReserve);
  }

  Decoded run() {
    if (!head()) return fail();
    while (!stack_.empty()) {
      clock_.step();  // decoding is linear in its input; steps alone bound the interval
      Pending& top = stack_.back();
      if (top.children_left > 0) {
        // Leaves, most children, are read in a run (short_leaf leaves the stack as it is).
        while (short_leaf()) {
          clock_.step();
          if (--top.children_left == 0) break;
        }
        if (top.children_left == 0) continue;
        --top.children_left;
        if (!any_head()) return fail();
        continue;
      }
      if (!finish(top)) return fail();
      stack_.pop_back();
    }
    Decoded d;
    d.term = KTermRef::adopt(kids_.back());
    d.read = static_cast<size_t>(r_.pos() - start_);
    kids_.clear();
    return d;
  }

 private:
  Decoded fail() {
    Decoded d;
    d.error = r_.error;
    return d;  // the destructor releases every node built so far
  }

  // Rewrites n checked entries with every varint in its shortest form.
  std::string_view shortest_form(std::string_view checked, uint64_t n) {
    wire::Reader again(checked);
    scratch_.clear();
    for (uint64_t i = 0; i < n; ++i) {
      CmdKind k = CmdKind::HOLE;
      std::string_view t;
      decode_cmd(again, k, t);  // cannot fail: these bytes were just checked
      encode_cmd(scratch_, k, t);
    }
    return scratch_;
  }

  // Reads a node's head and opens it on the stack; a Tuple without children (a leaf, most
  // nodes) is finished at once instead.
  bool head() { return short_leaf() || any_head(); }

  // head, for any node.
  bool any_head() {
    uint32_t v;
    if (!r_.variant(v)) return false;
    if (v > 2) return r_.fail(DecodeError::BadVariant);
    const auto variant = static_cast<Variant>(v);
    std::string_view tag;
    if (!r_.text(tag)) return false;
    if (variant != Variant::Tuple) {
      // Filled in place: a Pending copied right after its fields were written stalls the
      // copy's wide loads on the narrow stores still in flight.
      Pending& p = stack_.emplace_back(Pending{variant, 0, tag, {}, 1, kids_.size()});
      return r_.byte(p.index) && r_.text(p.lang);
    }
    uint64_t n;
    if (!r_.size(n)) return false;
    if (n == 0) return finish_leaf(tag);
    // A count is a promise, not a fact: reserve only what the bytes left could hold, and
    // keep the stack's doubling growth so that many nested reservations stay linear.
    if (n <= r_.left()) {
      // One more for the node itself, which takes its children's place when it is made.
      size_t need = kids_.size() + std::min(n + 1, kMaxChildReserve);
      if (need > kids_.capacity()) kids_.reserve(std::max(need, 2 * kids_.capacity()));
    }
    stack_.emplace_back(Pending{variant, 0, tag, {}, n, kids_.size()});
    return true;
  }

  // Reads the rest of node p (whose children are the last ones on kids_), builds it, and
  // hands it to its parent.
  bool finish(const Pending& p) {
    std::string_view cmds;
    uint64_t n;
    if (!command_list(cmds, n)) return false;
    std::optional<Span> span;
    if (p.variant != Variant::Tuple) {
      uint8_t tag;
      if (!r_.byte(tag)) return false;
      if (tag > 1) return r_.fail(DecodeError::BadOption);
      if (tag == 1) {
        Span s;
        if (!r_.size(s.start) || !r_.size(s.end)) return false;
        span = s;
      }
    }
    const size_t count = kids_.size() - p.first_child;
    // The last node made keeps the list of a large decode's blocks.
    const bool root = stack_.size() == 1 && carver_.listed();
    KTerm* node = KTerm::make(p.variant, p.index, p.tag, p.lang, kids_.data() + p.first_child,
                              checked_u32(count), cmds, n, span, &carver_, root);
    if (root) node->keep_block_list(carver_.block_list());  // the node's own block listed too
    return hand_over(node, p.first_child);
  }

  // Reads the rest of a Tuple without children, builds it, and hands it to its parent.
  bool finish_leaf(std::string_view tag) {
    std::string_view cmds;
    uint64_t n;
    return command_list(cmds, n) && add_leaf(tag, cmds, n);
  }

  // Builds a Tuple without children, whose room on kids_ is made, and hands it to its parent.
  bool add_leaf(std::string_view tag, std::string_view cmds, uint64_t n) {
    return hand_over(
        KTerm::make(Variant::Tuple, 0, tag, {}, nullptr, 0, cmds, n, std::nullopt, &carver_),
        kids_.size());
  }

  // Reads a command list, checks each entry, and gives its byte form and length.
  bool command_list(std::string_view& cmds, uint64_t& n) {
    if (!r_.size(n)) return false;
    const char* first = r_.pos();
    const char* last = short_entries(first, r_.end(), n);
    if (last && ascii(first, last)) {
      cmds = {first, static_cast<size_t>(last - first)};
      r_.skip(cmds.size());
      make_room();
      return true;
    }
    r_.clear_overlong();
    for (uint64_t i = 0; i < n; ++i) {
      CmdKind k = CmdKind::HOLE;
      std::string_view t;
      if (!decode_cmd(r_, k, t)) return false;
    }
    // Checked entries in shortest form are the node's own byte form: copy them as they are.
    cmds = {first, static_cast<size_t>(r_.pos() - first)};
    if (r_.saw_overlong()) cmds = shortest_form(cmds, n);
    make_room();
    return true;
  }

  // Room for a node before it is made, so that handing it to its parent cannot fail; and the
  // carver told what is still to come.
  void make_room() {
    if (kids_.size() == kids_.capacity()) kids_.reserve(std::max<size_t>(16, 2 * kids_.size()));
    carver_.expect(kNodeBytesPerByte * r_.left());
  }

  // Reads a leaf whose bytes are all ASCII and whose varints are one byte each (most leaves)
  // and finishes it; false, having read nothing, for any other input.
  bool short_leaf() {
    const char* p = r_.pos();
    const char* end = r_.end();
    if (end - p < 4 || p[0] != static_cast<char>(Variant::Tuple)) return false;
    // Read as one-byte varints before the bytes are known to be ASCII; the check that they
    // are, tag length to last entry, comes before anything read is used.
    const auto tag_len = static_cast<uint8_t>(p[1]);
    if (tag_len > end - p - 4 || p[2 + tag_len] != 0) return false;
    const auto n = static_cast<uint8_t>(p[3 + tag_len]);
    const char* first = p + 4 + tag_len;
    const char* last = short_entries(first, end, n);
    if (!last || !ascii(p + 1, last)) return false;
    r_.skip(static_cast<size_t>(last - p));
    make_room();
    kids_.push_back(KTerm::make_short_leaf({p + 2, tag_len},
                                           {first, static_cast<size_t>(last - first)}, n, carver_));
    return true;
  }

  // True when every byte of [from, to) is below 0x80. The input is checked ahead of the
  // reading, a stretch at a time in a tight loop, rather than node by node.
  bool ascii(const char* from, const char* to) noexcept {
    return (to <= ascii_end_ && from >= ascii_start_) || check_ascii_ahead(from, to);
  }

  // Moves ascii_end_ on from `from` (or where it is, if that is in the stretch checked) to
  // the first byte of 0x80 or more, looking up to kAsciiAhead bytes past `to`.
  bool check_ascii_ahead(const char* from, const char* to) noexcept {
    constexpr size_t kAsciiAhead = 4096;
    if (from > ascii_end_ || from < ascii_start_) ascii_start_ = ascii_end_ = from;
    const char* end = r_.end();
    const size_t look = static_cast<size_t>(end - to) > kAsciiAhead ? kAsciiAhead : end - to;
    ascii_end_ = wire::first_non_ascii(ascii_end_, to + look);
    return to <= ascii_end_;
  }

  // The node's children (kids_ from first_child on) now belong to it; it joins kids_ itself.
  bool hand_over(KTerm* node, size_t first_child) noexcept {
    kids_.resize(first_child);
    kids_.push_back(node);
    return true;
  }

  wire::Reader r_;
  const char* start_;        // the first byte of the input
  const char* ascii_start_;  // every byte from here to ascii_end_ is below 0x80
  const char* ascii_end_;
  PollClock clock_;
  NodeCarver carver_;  // where this decode's nodes come from
  std::vector<Pending> stack_;
  std::vector<const KTerm*> kids_;  // finished nodes awaiting their parent; each owns a count
  std::string scratch_;             // a command list rewritten in shortest form
};

}  // namespace

Decoded from_postcard_bytes(std::string_view in, Poll poll) { return Decoder(in, poll).run(); }

size_t decoder_kept_bytes() noexcept {
  return spare.stack.capacity() * sizeof(Pending) + spare.kids.capacity() * sizeof(const KTerm*);
}

}  // namespace kovel
