// interpreter_exit.cpp: the record that the interpreter has begun to exit, and on which thread.
#include "interpreter_exit.hpp"

#include <thread>

namespace kovel::py {

std::atomic<bool> exit_begun{false};

namespace {

// Written before exit_begun is set (release), read after it is seen (acquire).
std::thread::id exit_thread;
// Set when the runtime ends (runtime_end.cpp), cleared with exit_begun in the next one.
std::atomic<bool> exit_over{false};

PyObject* note_exit(PyObject*, PyObject*) {
  exit_thread = std::this_thread::get_id();
  exit_begun.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef note_exit_def = {"_note_exit", note_exit, METH_NOARGS,
                             "_note_exit()\n--\n\nMarks the start of the interpreter's exit."};

bool on_exit_thread() noexcept { return std::this_thread::get_id() == exit_thread; }

void exit_is_over() noexcept { exit_over.store(true, std::memory_order_release); }

void forget_ended_exit() noexcept {
  if (exit_over.exchange(false, std::memory_order_acq_rel)) {
    exit_begun.store(false, std::memory_order_release);
  }
}

}  // namespace kovel::py
