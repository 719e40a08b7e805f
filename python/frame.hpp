// frame.hpp: the call frame every Python-callable entry runs through: errors, the boundary
// guard, argument binding and the conversions by parameter kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "handle.hpp"
#include "py.hpp"
#include "term/cmd_or_hole.hpp"

namespace kovel::py {

/// A failure to raise as `type` (a borrowed exception class) with exactly `message`.
struct BindError {
  PyObject* type;
  std::string message;
};

/// The interpreter's error indicator is already set; the boundary leaves it in place.
struct PyErrorSet {};

/// Owns p, or throws PyErrorSet when p is null (a failed C-API call).
Obj checked(PyObject* p);
/// Returns rc, or throws PyErrorSet when a C-API status is negative.
int checked(int rc);

/// Throws BindError(type, message).
[[noreturn]] void fail(PyObject* type, std::string message);
/// Throws the TypeError "'{type}' object is not an instance of '{target}'" for obj.
[[noreturn]] void cast_error(PyObject* obj, std::string_view target);

/// Clears a pending error that the caller means to ignore, if it is an Exception. Anything
/// else (KeyboardInterrupt, SystemExit, a PanicException) is never ignored: it stays pending
/// and PyErrorSet is thrown, so it reaches the caller (a panic is resumed at the boundary).
void discard_error();

/// Sets the Python exception for the C++ exception being handled. Call only from a catch.
void raise_current();

/// The unwinding of a thread that the interpreter ends (pthread_exit, which daemon threads
/// meet when the interpreter exits) passes through every catch here: swallowing it aborts the
/// process. libstdc++ names it, so it goes on. (libc++abi cannot rethrow it from a catch-all,
/// and Debian's libc++ unwinds with LLVM's libunwind, which cannot run it at all.)
#if defined(__GLIBCXX__)
#define KOVEL_LET_THREAD_EXIT_THROUGH \
  catch (abi::__forced_unwind&) {     \
    throw;                            \
  }
#else
#define KOVEL_LET_THREAD_EXIT_THROUGH
#endif

/// Runs body (returning a new reference) at the boundary; null with an error on failure.
/// Only a thread's forced unwinding leaves it as an exception.
template <class F>
PyObject* guard(F&& body) {
  try {
    return body();
  }
  KOVEL_LET_THREAD_EXIT_THROUGH
  catch (...) {
    raise_current();
    return nullptr;
  }
}

/// As guard, for entries that report 0 on success and -1 on failure.
template <class F>
int guard_status(F&& body) {
  try {
    body();
    return 0;
  }
  KOVEL_LET_THREAD_EXIT_THROUGH
  catch (...) {
    raise_current();
    return -1;
  }
}

/// A function's or method's static parameter description; every parameter is required and
/// may be given by position or by keyword.
template <size_t N>
struct Sig {
  const char* cls;  // owning class name, or null for a module function
  const char* name;
  const char* params[N];
};

/// Fills slots[0..n) with new references to the arguments, or throws the binding's TypeError.
void bind(const char* cls, const char* name, const char* const* params, size_t n, PyObject* args,
          PyObject* kwargs, Obj* slots);

/// Rewrites a pending exception of exactly TypeError as "argument '{param}': ...",
/// keeping its __cause__.
void wrap_pending(const char* param);

/// The bound arguments of one call. Each is owned for the whole call: a conversion can run
/// Python code (__index__, __len__, __iter__, a metaclass's __qualname__, a signal handler)
/// that empties the caller's keyword dictionary, and every view taken from an argument (the
/// UTF-8 of a str, the buffer of a bytes) must outlive that.
template <size_t N>
class Args {
 public:
  Args(const Sig<N>& sig, PyObject* args, PyObject* kwargs) : sig_(sig) {
    if (!kwargs && PyTuple_Size(args) == static_cast<Py_ssize_t>(N)) {
      // The common call, every argument by position: nothing to look up or report.
      for (size_t i = 0; i < N; ++i) slots_[i] = Obj::borrow(PyTuple_GetItem(args, i));
      return;
    }
    bind(sig.cls, sig.name, sig.params, N, args, kwargs, slots_);
  }

  /// The unconverted argument i, owned by this frame.
  PyObject* operator[](size_t i) const noexcept { return slots_[i].get(); }

  /// Converts argument i with conv; an exact TypeError from it is prefixed with the
  /// parameter's name.
  template <class F>
  decltype(auto) get(size_t i, F&& conv) const {
    try {
      return conv(slots_[i].get());
    } catch (BindError& e) {
      if (e.type == PyExc_TypeError) {
        e.message = std::string("argument '") + sig_.params[i] + "': " + e.message;
      }
      throw;
    } catch (const PyErrorSet&) {
      wrap_pending(sig_.params[i]);
      throw;
    }
  }

 private:
  const Sig<N>& sig_;
  Obj slots_[N];
};

/// The poll that long walks in the core call: runs pending signal handlers, and throws
/// PyErrorSet when one raised (KeyboardInterrupt, say).
void check_signals();

/// Text: a str's strict UTF-8, read in place (valid while the str lives).
inline std::string_view to_text(PyObject* o) {
  if (!PyUnicode_Check(o)) cast_error(o, "str");
  Py_ssize_t n = 0;
  // Strict UTF-8: a lone surrogate raises the interpreter's UnicodeEncodeError.
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) throw PyErrorSet{};
  return {s, static_cast<size_t>(n)};
}
/// An int (or an object with __index__) as a signed 64-bit value; -1 with an error set when
/// it is not an integer or out of range. A C long where that has 64 bits, so that the
/// overflow is reported as a conversion to long; a long long where long is narrower.
inline long long to_int64(PyObject* o) {
  if constexpr (sizeof(long) >= sizeof(long long)) {
    return PyLong_AsLong(o);
  } else {
    return PyLong_AsLongLong(o);
  }
}
/// 8-bit index: an int or __index__ object in 0..255.
uint8_t to_index8(PyObject* o);
/// Bytes: the content of a bytes object (subclasses too), read in place.
std::string_view to_bytes(PyObject* o);
/// Command list: a sequence of CmdOrHole objects, copied.
std::vector<CmdOrHole> to_cmd_list(PyObject* o);

/// Writes a fault raised while releasing obj to the unraisable hook. Call only from a catch.
void report_unraisable(PyObject* obj) noexcept;

}  // namespace kovel::py
