// builder.hpp: the builder of one Tuple node, and the Emit interface.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kterm/kterm.hpp"

namespace kovel {

/// Assembles one Tuple node; keeps exactly one HOLE per child.
class KTermBuilder {
 public:
  /// Appends Write(text), unless text is empty.
  KTermBuilder& write(std::string_view text);
  /// Appends NL.
  KTermBuilder& nl();
  /// Appends Push(prefix), also for an empty prefix.
  KTermBuilder& push(std::string_view prefix);
  /// Appends POP.
  KTermBuilder& pop();
  /// Appends HOLE and one new reference to term.
  KTermBuilder& child(const KTermRef& term);
  /// `child`, for chains that start from tb and end in b.
  KTermBuilder c(const KTermRef& term) && {
    child(term);
    return std::move(*this);
  }
  /// Consumes the builder into the finished Tuple record. If that throws (out of memory),
  /// the builder is left as it was.
  UnsharedKTerm build() &&;
  /// Consumes the builder into a new shared term.
  KTermRef b() && { return std::move(*this).build().share(); }

  /// Hands over a reference the caller already holds (the Emit path).
  void adopt_child(KTermRef term);

  std::string_view tag() const noexcept { return tag_; }
  const std::vector<KTermRef>& children() const noexcept { return children_; }
  uint64_t cmd_count() const noexcept { return n_cmds_; }

 private:
  friend KTermBuilder tb(std::string_view tag);
  explicit KTermBuilder(std::string_view tag) : tag_(tag) {}
  void append(CmdKind k, std::string_view t);

  std::string tag_;
  std::vector<KTermRef> children_;
  std::string cmds_;  // the entries in their byte form
  uint64_t n_cmds_ = 0;
};

/// Starts a builder: a copy of tag, no children, no commands.
KTermBuilder tb(std::string_view tag);

/// What a builder can take as a child.
template <class T>
concept Emit = requires(T&& v, KTermBuilder& b) {
  emit(std::forward<T>(v), b);
};

/// Adds term to b as a child, handing over the caller's reference.
inline void emit(KTermRef term, KTermBuilder& b) { b.adopt_child(std::move(term)); }

}  // namespace kovel
