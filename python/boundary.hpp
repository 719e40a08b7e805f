// boundary.hpp: where C++ meets the interpreter: the guard around every Python-callable
// entry, and the ladder that turns the exception in flight into a Python one.
#pragma once

#include <exception>  // and with it the standard library's own macros (__GLIBCXX__)

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "py.hpp"

namespace kovel::py {

/// Sets the Python exception for the C++ exception being handled: a BindError's type and
/// message, a PyErrorSet's pending error as it is (a PanicException from Python resumed as a
/// panic of this call), no memory as MemoryError, and any other fault as PanicException.
/// Call only from a catch.
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

/// Writes a fault raised while releasing obj to the unraisable hook. Call only from a catch.
void report_unraisable(PyObject* obj) noexcept;

}  // namespace kovel::py
