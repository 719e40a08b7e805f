// errors.hpp: how the binding's failures travel to the boundary: the two kinds of C++
// exception, the checks that raise them, and the cast error.
#pragma once

#include <string>
#include <string_view>

#include "handle.hpp"
#include "py.hpp"

namespace kovel::py {

/// A failure to raise as `type` (a borrowed exception class) with exactly `message`.
struct BindError {
  PyObject* type;
  std::string message;
};

/// The interpreter's error indicator is already set; the boundary leaves it in place.
struct PyErrorSet {};

/// Throws PyErrorSet.
[[noreturn]] void throw_error_set();

/// Owns p, or throws PyErrorSet when p is null (a failed C-API call).
inline Obj checked(PyObject* p) {
  if (!p) throw_error_set();
  return Obj::steal(p);
}
/// Returns rc, or throws PyErrorSet when a C-API status is negative.
inline int checked(int rc) {
  if (rc < 0) throw_error_set();
  return rc;
}

/// Throws BindError(type, message).
[[noreturn]] void fail(PyObject* type, std::string message);
/// Throws the TypeError "'{type}' object is not an instance of '{target}'" for obj.
[[noreturn]] void cast_error(PyObject* obj, std::string_view target);

/// Clears a pending error that the caller means to ignore, if it is an Exception. Anything
/// else (KeyboardInterrupt, SystemExit, a PanicException) is never ignored: it stays pending
/// and PyErrorSet is thrown, so it reaches the caller (a panic is resumed at the boundary).
void discard_error();

}  // namespace kovel::py
