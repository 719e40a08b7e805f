// process.cpp: what keeps the module sound in every process a program makes: node memory from
// the interpreter's allocator, and the interpreter's exit.
#include "process.hpp"

#include <thread>

#include "frame.hpp"
#include "handle.hpp"
#include "instance.hpp"
#include "kterm/node_alloc.hpp"
#include "port/port.hpp"

namespace kovel::py {

std::atomic<bool> exit_begun{false};

namespace {

// Written before exit_begun is set (release), read after it is seen (acquire).
std::thread::id exit_thread;

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

// atexit runs this before the interpreter ends its daemon threads.
PyObject* note_exit(PyObject*, PyObject*) {
  exit_thread = std::this_thread::get_id();
  exit_begun.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_exit", method_fn(note_exit), METH_NOARGS,
                             "_note_exit()\n--\n\nMarks the start of the interpreter's exit."};

}  // namespace

bool on_exit_thread() noexcept { return std::this_thread::get_id() == exit_thread; }

void use_interpreter_allocator() noexcept {
  // Every node is made and freed under the interpreter lock, which is also what serialises
  // the interpreter's allocator: each entry point holds it, and so does every place where a
  // last reference drops (a KTerm's deallocation, a call's frame).
  set_node_allocator({node_allocate, node_release, node_trim});
}

void watch_exit(PyObject* module) {
  // Only the main interpreter's exit ends threads; a subinterpreter's does not.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return;
  // Another interpreter of the process may exit and start again: a module made anew starts
  // with a clean slate.
  exit_begun.store(false, std::memory_order_release);
  Obj atexit = checked(PyImport_ImportModule("atexit"));
  Obj hook = checked(PyCFunction_NewEx(&note_exit_def, module, nullptr));
  Obj done = checked(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

}  // namespace kovel::py
