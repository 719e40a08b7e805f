// args.cpp: the binding of arguments to parameters, with its messages, and the prefix that
// names the parameter whose conversion failed.
#include "args.hpp"

#include <algorithm>
#include <string_view>

namespace kovel::py {
namespace {

std::string display_name(const char* cls, const char* name) {
  std::string fn;
  if (cls) {
    fn += cls;
    fn += '.';
  }
  fn += name;
  fn += "()";
  return fn;
}

}  // namespace

void bind(const char* cls, const char* name, const char* const* params, size_t n,
          PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
  auto k = static_cast<size_t>(nargs);
  std::fill_n(slots, n, nullptr);
  for (size_t i = 0; i < k && i < n; ++i) slots[i] = args[i];
  if (k > n) {
    fail(PyExc_TypeError, display_name(cls, name) + " takes " + std::to_string(n) +
                              " positional arguments but " + std::to_string(k) +
                              (k == 1 ? " was" : " were") + " given");
  }
  const Py_ssize_t n_keywords = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t j = 0; j < n_keywords; ++j) {
    PyObject* key = PyTuple_GetItem(kwnames, j);
    if (!PyUnicode_Check(key)) fail(PyExc_TypeError, "keywords must be strings");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(key, &len);
    if (!s) throw PyErrorSet{};
    std::string_view key_text(s, static_cast<size_t>(len));
    size_t i = 0;
    while (i < n && key_text != params[i]) ++i;
    if (i == n) {
      fail(PyExc_TypeError, display_name(cls, name) + " got an unexpected keyword argument '" +
                                std::string(key_text) + "'");
    }
    if (slots[i]) {
      fail(PyExc_TypeError, display_name(cls, name) + " got multiple values for argument '" +
                                std::string(key_text) + "'");
    }
    slots[i] = args[nargs + j];
  }
  size_t missing =
      static_cast<size_t>(std::count_if(slots, slots + n, [](PyObject* s) { return !s; }));
  if (missing == 0) return;
  std::string msg = display_name(cls, name) + " missing " + std::to_string(missing) +
                    " required positional " + (missing == 1 ? "argument" : "arguments") + ": ";
  size_t listed = 0;
  for (size_t i = 0; i < n; ++i) {
    if (slots[i]) continue;
    if (listed > 0) {
      if (missing > 2) msg += ",";
      msg += listed + 1 == missing ? " and " : " ";
    }
    msg += "'";
    msg += params[i];
    msg += "'";
    ++listed;
  }
  fail(PyExc_TypeError, std::move(msg));
}

void wrap_pending(const char* param) {
  if (PyErr_Occurred() != PyExc_TypeError) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  Obj t = Obj::steal(type), v = Obj::steal(value), trace = Obj::steal(tb);
  Obj text = Obj::steal(PyObject_Str(v.get()));
  if (!text) return;
  Obj msg = Obj::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!msg) return;
  Obj wrapped = Obj::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, msg.get(), nullptr));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), PyException_GetCause(v.get()));  // steals the cause
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

}  // namespace kovel::py
