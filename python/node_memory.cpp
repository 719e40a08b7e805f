// node_memory.cpp: term nodes in the interpreter's general allocator, trimmed after a peak.
#include "node_memory.hpp"

#include "interpreter_exit.hpp"
#include "kterm/node_alloc.hpp"
#include "port/port.hpp"
#include "py.hpp"

namespace kovel::py {
namespace {

// The general allocator, not the object allocator: a free-threaded interpreter keeps that for
// Python objects, whose heaps its collector walks. Elsewhere both are the same small-object
// allocator.
void* node_allocate(size_t n) noexcept { return PyMem_Malloc(n); }

// A node dropped by a thread that the interpreter is ending, without the lock, is left alone.
void node_release(void* p) noexcept {
  if (may_release()) PyMem_Free(p);
}

// After a large term is dropped: the malloc'd blocks of its wide nodes, and the stacks that
// built it, lie in the C library's heap until it is asked to hand them back.
void node_trim() noexcept { port::trim_heap(); }

}  // namespace

void use_interpreter_allocator() noexcept {
  // Every node is made and freed under the interpreter lock, which is also what serialises
  // the interpreter's allocator: each entry point holds it, and so does every place where a
  // last reference drops (a KTerm's deallocation, a call's frame).
  set_node_allocator({node_allocate, node_release, node_trim});
}

}  // namespace kovel::py
