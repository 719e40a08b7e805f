// decode_fuzz.cpp: libFuzzer target checking that any bytes decode cleanly or fail one fixed way.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kterm/kterm.hpp"
#include "kterm/postcard.hpp"
#include "term/sterm.hpp"
#include "wire/wire.hpp"

namespace kovel {
namespace {

// Written out here rather than taken from the decoder, so a changed message is a finding.
constexpr std::array<std::string_view, 5> kMessages = {
    "Hit the end of buffer, expected more data",
    "Found a varint that didn't terminate. Is the usize too big for this platform?",
    "Tried to parse invalid utf-8",
    "Found an Option discriminant that wasn't 0 or 1",
    "Serde Deserialization Error",
};

// Printing is skipped above these, so repeated HOLEs cannot blow up one run.
constexpr uint64_t kMaxOutput = uint64_t{1} << 24;
constexpr uint64_t kMaxEmitted = uint64_t{1} << 22;
constexpr uint64_t kCap = uint64_t{1} << 48;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "decode_fuzz: %s\n", what);
  std::abort();
}

void require(bool ok, const char* what) {
  if (!ok) finding(what);
}

uint64_t add(uint64_t a, uint64_t b) { return std::min(a + b, kCap); }
uint64_t mul(uint64_t a, uint64_t b) {
  return (a != 0 && b > kCap / a) ? kCap : std::min(a * b, kCap);
}

// What emitting one node produces, counted with every repetition: commands, Write bytes,
// NL commands and Push bytes; and whether it reaches a Tuple that runs out of children.
struct Cost {
  uint64_t cmds = 0;
  uint64_t write_bytes = 0;
  uint64_t newlines = 0;
  uint64_t push_bytes = 0;
  bool faults = false;
};

// Adds `times` emissions of a sub-term to c.
void absorb(Cost& c, const Cost& sub, uint64_t times) {
  if (times == 0) return;
  c.cmds = add(c.cmds, mul(sub.cmds, times));
  c.write_bytes = add(c.write_bytes, mul(sub.write_bytes, times));
  c.newlines = add(c.newlines, mul(sub.newlines, times));
  c.push_bytes = add(c.push_bytes, mul(sub.push_bytes, times));
  c.faults = c.faults || sub.faults;
}

// The cost of printing t, computed bottom-up without recursion. Also checks that no node of
// a freshly decoded term is shared.
Cost emission_cost(const KTerm& root) {
  std::vector<const KTerm*> order;  // pre-order: a node, then its children's subtrees in order
  std::vector<const KTerm*> todo{&root};
  while (!todo.empty()) {
    const KTerm* t = todo.back();
    todo.pop_back();
    require(t->use_count() == 1, "decoded node is shared");
    order.push_back(t);
    for (uint32_t i = t->child_count(); i-- > 0;) todo.push_back(&t->child(i));
  }

  // In reverse pre-order every child is done before its parent, and child 0 ends on top.
  std::vector<Cost> done;
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    const KTerm& t = **it;
    Cost c;
    uint64_t holes = 0;
    for (CmdView cmd : t.cmds()) {
      c.cmds = add(c.cmds, 1);
      switch (cmd.kind) {
        case CmdKind::Write:
          c.write_bytes = add(c.write_bytes, cmd.text.size());
          break;
        case CmdKind::NL:
          c.newlines = add(c.newlines, 1);
          break;
        case CmdKind::Push:
          c.push_bytes = add(c.push_bytes, cmd.text.size());
          break;
        case CmdKind::POP:
          break;
        case CmdKind::HOLE:
          ++holes;
          break;
      }
    }
    uint32_t n = t.child_count();
    require(done.size() >= n, "child costs missing");
    std::vector<Cost> kids(done.end() - n, done.end());
    std::reverse(kids.begin(), kids.end());
    done.resize(done.size() - n);
    if (t.is_tuple()) {
      uint64_t used = std::min<uint64_t>(holes, n);
      for (uint64_t k = 0; k < used; ++k) absorb(c, kids[k], 1);
      c.faults = c.faults || holes > n;
    } else {
      require(n == 1, "quote without exactly one inner term");
      absorb(c, kids[0], holes);
    }
    done.push_back(c);
  }
  require(done.size() == 1, "cost walk did not end at the root");
  return done.back();
}

void check_printing(const KTerm& t) {
  Cost c = emission_cost(t);
  // Each NL writes one byte and at most every prefix pushed so far.
  uint64_t low = add(c.write_bytes, c.newlines);
  uint64_t high = add(c.write_bytes, mul(c.newlines, add(1, c.push_bytes)));
  if (high > kMaxOutput || c.cmds > kMaxEmitted) return;
  std::string out;
  bool faulted = false;
  try {
    out = coparse(t);
  } catch (const InternalFault&) {
    faulted = true;
  }
  require(faulted == c.faults, "coparse faulted where it should not, or the reverse");
  if (faulted) return;
  require(out.size() >= low && out.size() <= high, "coparse output length out of bounds");
  require(c.push_bytes != 0 || out.size() == low, "coparse output length wrong without prefixes");
  require(wire::valid_utf8(out), "coparse output is not UTF-8");
}

void check_input(std::string_view in) {
  Decoded d = from_postcard_bytes(in);
  if (!d.ok()) {
    require(!d.term, "a failed decode returned a term");
    require(std::find(kMessages.begin(), kMessages.end(), d.message()) != kMessages.end(),
            "decode error with an unknown message");
    return;
  }
  require(static_cast<bool>(d.term), "a successful decode returned no term");

  std::string bytes = postcard_bytes(*d.term);
  // Shortest-form output can never be longer than what the decoder read, and is what it read
  // unless a varint there was longer than it needed to be: one ends in a zero byte after a
  // byte of 0x80 or more, which no input without such a pair can hold.
  require(d.read <= in.size(), "the decoder read past its input");
  const std::string_view read = in.substr(0, d.read);
  require(bytes.size() <= read.size(), "encoding is longer than what was read");
  bool maybe_overlong = false;
  for (size_t i = 1; i < read.size(); ++i)
    maybe_overlong |= read[i] == 0 && static_cast<uint8_t>(read[i - 1]) >= 0x80;
  require(maybe_overlong || bytes == read, "a shortest-form input did not encode to itself");
  Decoded again = from_postcard_bytes(bytes);
  require(again.ok(), "the encoding of a decoded term does not decode");
  require(equal(*d.term, *again.term), "decode of encode is not equal");
  require(postcard_bytes(*again.term) == bytes, "re-encoding changed the bytes");

  // Trailing bytes are ignored.
  Decoded trailing = from_postcard_bytes(bytes + std::string(in));
  require(trailing.ok() && equal(*d.term, *trailing.term), "trailing bytes changed the term");

  check_printing(*d.term);
}

}  // namespace
}  // namespace kovel

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kovel::check_input(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
