// strcmd.hpp: string commands, their constructors and byte form, and the prefix writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "poll/poll.hpp"
#include "strcmd/byte_buffer.hpp"
#include "wire/wire.hpp"

namespace kovel {

/// The kind of a command-list entry: the four string commands, then the child placeholder.
/// The first four values are the string commands' variant numbers.
enum class CmdKind : uint8_t { Write = 0, NL = 1, Push = 2, POP = 3, HOLE = 4 };

/// True for the kinds that carry a text (`Write` and `Push`).
constexpr bool has_text(CmdKind k) noexcept { return k == CmdKind::Write || k == CmdKind::Push; }

/// One string command: `Write`, `NL`, `Push` or `POP`; `text` is empty for `NL` and `POP`.
struct StrCmd {
  CmdKind kind = CmdKind::NL;
  std::string text;

  friend bool operator==(const StrCmd&, const StrCmd&) = default;
};

/// `Write` of a copy of s.
StrCmd write(std::string_view s);
/// `Push` of a copy of s.
StrCmd push(std::string_view s);

/// Appends the byte form of one string command of kind k (never HOLE) with text t.
void encode_strcmd(std::string& out, CmdKind k, std::string_view t);
/// Reads one string command from untrusted bytes; t points into the input.
inline bool decode_strcmd(wire::Reader& r, CmdKind& k, std::string_view& t) noexcept {
  uint32_t v;
  if (!r.variant(v)) return false;
  if (v > 3) return r.fail(wire::DecodeError::BadVariant);
  k = static_cast<CmdKind>(v);
  t = {};
  return !has_text(k) || r.text(t);
}

/// Applies string commands to a caller-owned buffer, keeping a stack of indentation prefixes.
/// The prefixes are kept concatenated after a newline byte, so a newline costs one append of
/// their total length plus one.
/// A walk feeding the writer calls `tick` at each splice; together with the writer's own
/// check at each newline, that bounds the work between two calls of the poll.
class PrefixWriter {
 public:
  explicit PrefixWriter(ByteBuffer& out, Poll poll = nullptr) noexcept : out_(out), clock_(poll) {}

  /// Applies one command (kind never HOLE).
  void interpret(CmdKind k, std::string_view t) {
    switch (k) {
      case CmdKind::Write:
        out_.append(t.data(), t.size());
        break;
      case CmdKind::NL:
        out_.append(line_start_);
        clock_.grew(out_.size());  // the prefixes in force can far outgrow the term
        break;
      case CmdKind::Push:
        starts_.push_back(line_start_.size());
        line_start_.append(t.data(), t.size());
        break;
      case CmdKind::POP:
        if (!starts_.empty()) {
          line_start_.resize(starts_.back());
          starts_.pop_back();
        }
        break;
      case CmdKind::HOLE:
        break;
    }
  }
  void interpret(const StrCmd& c) { interpret(c.kind, c.text); }

  /// Number of prefixes in force.
  size_t depth() const noexcept { return starts_.size(); }

  /// Counts one splice of the walk; may call the poll, which may throw.
  void tick() { clock_.tick(out_.size()); }

 private:
  ByteBuffer& out_;
  PollClock clock_;
  std::string line_start_ = "\n";  // a newline, then every prefix in force, bottom first
  std::vector<size_t> starts_;     // where each prefix begins in line_start_
};

}  // namespace kovel
