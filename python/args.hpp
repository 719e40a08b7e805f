// args.hpp: argument binding: a call's positional and keyword arguments to its parameters.
#pragma once

#include <cstddef>
#include <string>

#include "errors.hpp"
#include "handle.hpp"
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

}  // namespace kovel::py
