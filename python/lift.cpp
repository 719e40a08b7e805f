// lift.cpp: klift and klift_html, which lift an int, a str or a KTerm into a term.
#include "args.hpp"
#include "boundary.hpp"
#include "classes.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "instance.hpp"
#include "kterm/construct.hpp"

namespace kovel::py {
namespace {

constexpr Sig<1> klift_sig{nullptr, "klift", {"value"}};
constexpr Sig<1> klift_html_sig{nullptr, "klift_html", {"value"}};

/// value as a signed 64-bit integer, if it is an int or has __index__ and fits. Errors on
/// the way are discarded: the caller goes on to the next kind.
bool as_int64(PyObject* value, int64_t& out) {
  Obj index;
  if (!PyLong_Check(value)) {
    // Objects without __index__ (str, float, None, ...) are skipped without raising.
    if (!PyIndex_Check(value)) return false;
    index = Obj::steal(PyNumber_Index(value));
    if (!index) {
      discard_error();
      return false;
    }
    value = index.get();
  }
  out = to_int64(value);
  if (out == -1 && PyErr_Occurred()) {
    discard_error();
    return false;
  }
  return true;
}

/// value's strict UTF-8 if it is a str that encodes; errors are discarded.
bool as_utf8(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) return false;
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(value, &n);
  if (!s) {
    discard_error();
    return false;
  }
  out = {s, static_cast<size_t>(n)};
  return true;
}

/// The kinds tried in order (term, integer, string), each with the core constructor of the
/// lift at hand.
PyObject* lift(const Sig<1>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               const char* unsupported, KTermRef (*from_int)(int64_t),
               KTermRef (*from_str)(std::string_view)) {
  return guard([&] {
    Args<1> a(sig, args, nargs, kwnames);
    PyObject* value = a[0];
    if (PyObject_TypeCheck(value, kterm_type())) return new_kterm(as_kterm(value)).release();
    int64_t n = 0;
    if (as_int64(value, n)) return new_kterm(from_int(n)).release();
    std::string_view s;
    if (as_utf8(value, s)) return new_kterm(from_str(s)).release();
    fail(PyExc_TypeError, unsupported);
  });
}

PyObject* kovel_klift(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lift(klift_sig, args, nargs, kwnames,
              "klift: unsupported type (expected int, str, or KTerm)", lift_int, lift_str);
}

PyObject* kovel_klift_html(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return lift(klift_html_sig, args, nargs, kwnames,
              "klift_html: unsupported type (expected int, str, or KTerm)", lift_html_int,
              lift_html_str);
}

constexpr char klift_doc[] =
    "klift(value)\n--\n\n"
    "Lift a Python value to a term that reconstructs it (the `\u2191` operator).\n"
    "Supports `int`, `str`, and existing `KTerm`s.";
constexpr char klift_html_doc[] =
    "klift_html(value)\n--\n\n"
    "Lift a Python value to an HTML term (the `\u2191` operator with an `html`\n"
    "splice target). Strings become entity-escaped `text` leaves \u2014 inert as\n"
    "text content or as a double-quoted attribute value \u2014 and terms pass\n"
    "through unchanged, so already-built fragments can be lifted too.";

}  // namespace

PyMethodDef klift_def = {"klift", method_fn(kovel_klift), METH_FASTCALL | METH_KEYWORDS, klift_doc};
PyMethodDef klift_html_def = {"klift_html", method_fn(kovel_klift_html),
                              METH_FASTCALL | METH_KEYWORDS, klift_html_doc};

}  // namespace kovel::py
