// frame.cpp: binding, conversions, the cast error and the catch ladder at the boundary.
#include "frame.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "cells.hpp"
#include "classes.hpp"

namespace kovel::py {
namespace {

constexpr char fault_without_message[] = "kovel: internal fault";

// Room reserved from a sequence's reported length is capped: the length is only a hint.
constexpr Py_ssize_t max_reserved_cmds = 4096;

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

/// The __qualname__ of obj's type, or the fixed text when it cannot be read.
std::string type_qualname(PyObject* obj) {
  // The lookup can run a metaclass's code, which may reassign obj.__class__: hold the type.
  Obj type = Obj::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Obj qual = Obj::steal(PyObject_GetAttr(type.get(), cells::name(cells::Name::Qualname)));
  if (qual && PyUnicode_Check(qual.get())) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(qual.get(), &n)) return std::string(s, n);
  }
  if (PyErr_Occurred()) discard_error();
  return "<failed to extract type name>";
}

/// Raises the panic exception with msg as its one argument.
void raise_panic(std::string_view msg) {
  PyObject* type = nullptr;
  try {
    type = cells::panic_type();
  } catch (const PyErrorSet&) {
    return;  // the class could not be made: its error stays set instead
  }
  Obj text =
      Obj::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

/// Re-raises a PanicException that came back from Python as a panic of this call, after
/// printing it with its traceback.
void resume_panic() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string msg = "Unwrapped panic from Python code";
  if (Obj text = Obj::steal(PyObject_Str(value))) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n)) msg.assign(s, n);
  }
  PyErr_Clear();
  PySys_WriteStderr(
      "--- kovel is resuming a panic after fetching a PanicException from Python. ---\n");
  PySys_WriteStderr("Python stack trace below:\n");
  PyErr_Restore(type, value, tb);  // steals all three
  PyErr_PrintEx(0);
  raise_panic(msg);
}

}  // namespace

Obj checked(PyObject* p) {
  if (!p) throw PyErrorSet{};
  return Obj::steal(p);
}

int checked(int rc) {
  if (rc < 0) throw PyErrorSet{};
  return rc;
}

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

void bind(const char* cls, const char* name, const char* const* params, size_t n, PyObject* args,
          PyObject* kwargs, Obj* slots) {
  auto k = static_cast<size_t>(PyTuple_Size(args));
  for (size_t i = 0; i < k && i < n; ++i) slots[i] = Obj::borrow(PyTuple_GetItem(args, i));
  if (k > n) {
    fail(PyExc_TypeError, display_name(cls, name) + " takes " + std::to_string(n) +
                              " positional arguments but " + std::to_string(k) +
                              (k == 1 ? " was" : " were") + " given");
  }
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
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
      slots[i] = Obj::borrow(value);
    }
  }
  size_t missing =
      static_cast<size_t>(std::count_if(slots, slots + n, [](const Obj& s) { return !s; }));
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

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
}

uint8_t to_index8(PyObject* o) {
  // Takes ints directly and other objects through __index__.
  long long v = to_int64(o);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (v < 0 || v > 255)
    fail(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<uint8_t>(v);
}

std::string_view to_bytes(PyObject* o) {
  if (!PyBytes_Check(o)) cast_error(o, "bytes");
  char* p = nullptr;
  Py_ssize_t n = 0;
  checked(PyBytes_AsStringAndSize(o, &p, &n));
  return {p, static_cast<size_t>(n)};
}

std::vector<CmdOrHole> to_cmd_list(PyObject* o) {
  if (PyUnicode_Check(o)) fail(PyExc_TypeError, "a 'str' cannot be converted into a command list");
  std::vector<CmdOrHole> out;
  auto take = [&](PyObject* item) { out.push_back(as_cmd_or_hole(item)); };
  // Exact lists and tuples cannot override iteration: read their items in place. Each item
  // is held while it is read, and a list's length is read afresh at every step, since a
  // failing item's type lookup can run code that empties the list.
  if (PyList_CheckExact(o)) {
    out.reserve(static_cast<size_t>(PyList_Size(o)));
    for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) take(Obj::borrow(PyList_GetItem(o, i)).get());
    return out;
  }
  if (PyTuple_CheckExact(o)) {
    Py_ssize_t n = PyTuple_Size(o);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) take(Obj::borrow(PyTuple_GetItem(o, i)).get());
    return out;
  }
  if (!PySequence_Check(o)) {
    // The class of the interpreter at hand, imported each time: one kept from another
    // interpreter (or an earlier run of this one) is a mutable class whose cached lookups
    // this interpreter would confuse with those of its own classes.
    Obj abc = checked(PyImport_ImportModule("collections.abc"));
    Obj sequence = checked(PyObject_GetAttrString(abc.get(), "Sequence"));
    Obj qual = checked(PyObject_GetAttr(sequence.get(), cells::name(cells::Name::Qualname)));
    cast_error(o, to_text(qual.get()));
  }
  Py_ssize_t hint = PyObject_Size(o);
  if (hint < 0) {
    discard_error();
  } else {
    out.reserve(static_cast<size_t>(std::min(hint, max_reserved_cmds)));
  }
  Obj it = checked(PyObject_GetIter(o));
  while (Obj item = Obj::steal(PyIter_Next(it.get()))) take(item.get());
  if (PyErr_Occurred()) throw PyErrorSet{};
  return out;
}

void raise_current() {
  try {
    try {
      throw;  // never a thread's exit: the boundary lets that through before it gets here
    } catch (const BindError& e) {
      Obj msg = Obj::steal(PyUnicode_DecodeUTF8(
          e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace"));
      if (msg) PyErr_SetObject(e.type, msg.get());
    } catch (const PyErrorSet&) {
      PyObject* panic = cells::panic_type_if_made();
      if (!PyErr_Occurred()) {
        raise_panic("a Python call failed without setting an exception");
      } else if (panic && PyErr_Occurred() == panic) {
        resume_panic();
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {  // a buffer past the largest size memory can hold
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      raise_panic(e.what());
    } catch (...) {
      raise_panic(fault_without_message);
    }
  }
  KOVEL_LET_THREAD_EXIT_THROUGH
  catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

void report_unraisable(PyObject* obj) noexcept {
  // A release may run while another exception is in flight; that one must survive.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  raise_current();
  PyErr_WriteUnraisable(obj);
  PyErr_Restore(type, value, tb);
}

}  // namespace kovel::py
