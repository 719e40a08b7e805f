// args.hpp: argument binding: a call's positional and keyword arguments to its parameters.
#pragma once

#include <cstddef>
#include <string>

#include "errors.hpp"
#include "py.hpp"

namespace kovel::py {

/// A function's or method's static parameter description; every parameter is required and
/// may be given by position or by keyword.
template <size_t N>
struct Sig {
  const char* cls;  // owning class name, or null for a module function
  const char* name;
  const char* params[N];
};

/// Fills slots[0..n) with the arguments of a vectorcall (nargs positional ones in args, then
/// one for each name in the tuple kwnames, if any), or throws the binding's TypeError.
void bind(const char* cls, const char* name, const char* const* params, size_t n,
          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

/// Rewrites a pending exception of exactly TypeError as "argument '{param}': ...",
/// keeping its __cause__.
void wrap_pending(const char* param);

/// The bound arguments of one call (METH_FASTCALL | METH_KEYWORDS), borrowed. The caller
/// holds every one of them until the call returns, whatever Python code a conversion runs
/// (__index__, __len__, __iter__, a metaclass's __qualname__, a signal handler): they are in
/// its own array, and a call through a keyword dictionary gets an array of its own, so no
/// change to the dictionary reaches them. A view taken from an argument (the UTF-8 of a str,
/// the buffer of a bytes) therefore lasts the call.
template <size_t N>
class Args {
 public:
  Args(const Sig<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
      : sig_(sig), items_(args) {
    // The common call, every argument by position, reads them where they are: nothing to
    // look up, report or copy.
    if (!kwnames && nargs == static_cast<Py_ssize_t>(N)) return;
    bind(sig.cls, sig.name, sig.params, N, args, nargs, kwnames, slots_);
    items_ = slots_;
  }
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;

  /// The unconverted argument i.
  PyObject* operator[](size_t i) const noexcept { return items_[i]; }

  /// Converts argument i with conv; an exact TypeError from it is prefixed with the
  /// parameter's name.
  template <class F>
  decltype(auto) get(size_t i, F&& conv) const {
    try {
      return conv(items_[i]);
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
  PyObject* const* items_;  // the caller's array, or slots_ once bound
  PyObject* slots_[N];
};

}  // namespace kovel::py
