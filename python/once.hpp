// once.hpp: OnceCell, the slot of one shared object, made on first need and kept until the
// interpreter's runtime ends.
#pragma once

#include <atomic>

#include "errors.hpp"
#include "handle.hpp"
#include "py.hpp"
#include "runtime_end.hpp"

namespace kovel::py {

/// The slot of one object shared by the interpreters of a runtime: empty until the object is
/// first needed, then filled once. The end of the runtime (Py_FinalizeEx) empties it again,
/// and a runtime that the host starts afterwards makes its own object.
struct OnceCell {
  std::atomic<PyObject*> obj{nullptr};
  /// The cell filled before this one in the same runtime (runtime_end.cpp).
  OnceCell* filled_before = nullptr;

  /// The object, or null while the cell is empty; borrowed.
  PyObject* get() const noexcept { return obj.load(std::memory_order_acquire); }
};

/// Returns the cell's object (borrowed), running make() (which returns a new reference, or
/// null with an error set) if it is still empty; throws PyErrorSet if make() fails.
///
/// make() may give up the interpreter lock (an import does, and so does Python code that a
/// collection runs), so another thread can fill the cell meanwhile. Exactly one object is
/// stored in a runtime, by a compare-and-swap: the first to arrive wins, and a thread that
/// finds the cell filled drops its own object and returns the one stored. A lock of our own
/// would be worse: a fork while another thread held it would leave it held for good in the
/// child. The winner, which holds the interpreter lock again, has the runtime's end empty it.
template <class Make>
PyObject* fill_once(OnceCell& cell, Make make) {
  if (PyObject* p = cell.get()) return p;
  Obj made = checked(make());
  PyObject* stored = nullptr;
  if (cell.obj.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
    forget_at_runtime_end(cell);
    return made.release();  // the cell keeps this reference until the runtime ends
  }
  return stored;  // another thread's; ours goes with `made`
}

}  // namespace kovel::py
