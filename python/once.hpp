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
/// The interpreter lock is the only lock: make() may give it up (an import does), so another
/// thread can fill the cell meanwhile, and then the first object stored wins and the other is
/// dropped. A lock of our own would be worse: a fork while another thread held it would leave
/// it held for good in the child.
template <class Make>
PyObject* fill_once(OnceCell& cell, Make make) {
  if (PyObject* p = cell.get()) return p;
  Obj made = checked(make());
  if (PyObject* p = cell.get()) return p;  // another thread's
  cell.obj.store(made.get(), std::memory_order_release);
  return made.release();  // the cell keeps this reference for the life of the process
}

}  // namespace kovel::py
