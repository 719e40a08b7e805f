// handle.hpp: Obj, the move-only owner of one Python reference.
#pragma once

#include <utility>

#include "interpreter_exit.hpp"
#include "py.hpp"

namespace kovel::py {

/// Owns one strong reference (or none); drops it on destruction.
class Obj {
 public:
  Obj() noexcept = default;
  /// Takes over a reference the caller owns (may be null).
  static Obj steal(PyObject* p) noexcept { return Obj(p); }
  /// Takes a new reference to a borrowed object (may be null).
  static Obj borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Obj(p);
  }

  Obj(Obj&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Obj& operator=(Obj&& o) noexcept {
    Obj old(std::exchange(p_, std::exchange(o.p_, nullptr)));
    return *this;
  }
  Obj(const Obj&) = delete;
  Obj& operator=(const Obj&) = delete;
  ~Obj() {
    if (p_ && may_release()) Py_DECREF(p_);
  }

  /// The object, still owned by this handle.
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  /// Hands the reference to the caller (for a return to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit Obj(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace kovel::py
