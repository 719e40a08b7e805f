// errors.cpp: the checks that turn a failed C-API call into PyErrorSet, and the cast error.
#include "errors.hpp"

namespace kovel::py {
namespace {

/// The __qualname__ of obj's type, or the fixed text when it cannot be read.
std::string type_qualname(PyObject* obj) {
  // The lookup can run a metaclass's code, which may reassign obj.__class__: hold the type.
  Obj type = Obj::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Obj qual = Obj::steal(PyObject_GetAttrString(type.get(), "__qualname__"));
  if (qual && PyUnicode_Check(qual.get())) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(qual.get(), &n)) return std::string(s, n);
  }
  if (PyErr_Occurred()) discard_error();
  return "<failed to extract type name>";
}

}  // namespace

void throw_error_set() { throw PyErrorSet{}; }

void fail(PyObject* type, std::string message) { throw BindError{type, std::move(message)}; }

void cast_error(PyObject* obj, std::string_view target) {
  std::string msg = "'";
  if (obj == Py_None) {
    msg += "None' is not an instance of '";
  } else {
    msg += type_qualname(obj);
    msg += "' object is not an instance of '";
  }
  msg += target;
  msg += "'";
  fail(PyExc_TypeError, std::move(msg));
}

void discard_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
  PyErr_Clear();
}

}  // namespace kovel::py
