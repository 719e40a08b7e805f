// once.hpp: OnceCell, the slot of one process-wide object, made on first need and kept.
#pragma once

#include <atomic>

#include "errors.hpp"
#include "handle.hpp"
#include "py.hpp"

namespace kovel::py {

/// The slot of one process-wide object: empty until the object is first needed, then filled
/// once and never cleared. The object lives until the process ends.
struct OnceCell {
  std::atomic<PyObject*> obj{nullptr};

  /// The object, or null while the cell is empty; borrowed.
  PyObject* get() const noexcept { return obj.load(std::memory_order_acquire); }
};

/// Returns the cell's object (borrowed), running make() (which returns a new reference, or
/// null with an error set) if it is still empty; throws PyErrorSet if make() fails.
///
/// make() may give up the interpreter lock (an import does, and so does Python code that a
/// collection runs), so another thread can fill the cell meanwhile. Exactly one object is
/// ever stored, by a compare-and-swap: the first to arrive wins, and a thread that finds the
/// cell filled drops its own object and returns the one stored. A lock of our own would be
/// worse: a fork while another thread held it would leave it held for good in the child.
template <class Make>
PyObject* fill_once(OnceCell& cell, Make make) {
  if (PyObject* p = cell.get()) return p;
  Obj made = checked(make());
  PyObject* stored = nullptr;
  if (cell.obj.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
    return made.release();  // the cell keeps this reference for the life of the process
  }
  return stored;  // another thread's; ours goes with `made`
}

}  // namespace kovel::py
