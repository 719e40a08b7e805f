// emit.cpp: emission of a term's commands into a prefix writer, with an explicit stack.
#include <vector>

#include "kterm/kterm.hpp"

namespace kovel {

namespace {

// One node being emitted: where its command list stands and which child comes next.
struct Frame {
  const KTerm* node;
  const char* cmd;  // next entry, in the node's byte form
  uint64_t cmds_left;
  uint32_t next_child;
};

Frame frame_of(const KTerm& t) noexcept {
  const KTerm::CmdList l = t.cmd_list();
  return {&t, l.bytes.data(), l.count, 0};
}

}  // namespace

void write(const KTerm& t, PrefixWriter& w) {
  std::vector<Frame> stack;
  Frame top = frame_of(t);
  for (;;) {
    while (top.cmds_left == 0) {
      if (stack.empty()) return;
      top = stack.back();
      stack.pop_back();
    }
    --top.cmds_left;
    CmdView c = next_cmd(top.cmd);
    if (c.kind != CmdKind::HOLE) {
      w.interpret(c.kind, c.text);
      continue;
    }
    // Between two splices the walk stays inside one node's commands, whose texts the term
    // holds; only splices (of shared subtrees) and newlines can repeat without bound.
    w.tick();
    const KTerm* child;
    if (top.node->is_tuple()) {
      if (top.next_child >= top.node->child_count())
        throw InternalFault("cannot print a Tuple node with more HOLE entries than children");
      child = &top.node->child(top.next_child++);
    } else {
      child = &top.node->term();  // every HOLE of a Quote/Unquote splices the same term
    }
    // A HOLE that ends its node needs nothing of the node afterwards: replace the frame,
    // so that a chain of last-position splices runs in constant stack.
    if (top.cmds_left != 0) stack.push_back(top);
    top = frame_of(*child);
  }
}

}  // namespace kovel
