// builder.cpp: the Tuple builder; commands are kept in their byte form until build.
#include "kterm/builder.hpp"

namespace kovel {

KTermBuilder tb(std::string_view tag) { return KTermBuilder(tag); }

void KTermBuilder::append(CmdKind k, std::string_view t) {
  encode_cmd(cmds_, k, t);
  ++n_cmds_;
}

KTermBuilder& KTermBuilder::write(std::string_view text) {
  if (!text.empty()) append(CmdKind::Write, text);
  return *this;
}

KTermBuilder& KTermBuilder::nl() {
  append(CmdKind::NL, {});
  return *this;
}

KTermBuilder& KTermBuilder::push(std::string_view prefix) {
  append(CmdKind::Push, prefix);
  return *this;
}

KTermBuilder& KTermBuilder::pop() {
  append(CmdKind::POP, {});
  return *this;
}

KTermBuilder& KTermBuilder::child(const KTermRef& term) {
  adopt_child(term);
  return *this;
}

void KTermBuilder::adopt_child(KTermRef term) {
  children_.push_back(std::move(term));
  try {
    append(CmdKind::HOLE, {});
  } catch (...) {
    children_.pop_back();  // a child never stays without its HOLE
    throw;
  }
}

UnsharedKTerm KTermBuilder::build() && {
  // The builder's references move into the node: no count changes, no child copied. If the
  // node cannot be made, the builder keeps everything it had.
  std::vector<const KTerm*> refs;
  refs.reserve(children_.size());
  for (const KTermRef& c : children_) refs.push_back(c.get());
  UnsharedKTerm node(KTerm::make(Variant::Tuple, 0, tag_, {}, refs.data(), checked_u32(refs.size()),
                                 cmds_, n_cmds_, std::nullopt));
  for (KTermRef& c : children_) c.release();
  children_.clear();
  cmds_.clear();
  n_cmds_ = 0;
  return node;
}

}  // namespace kovel
