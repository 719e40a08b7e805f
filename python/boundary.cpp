// boundary.cpp: the catch ladder, raising and resuming a panic, and unraisable reports.
#include "boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "handle.hpp"
#include "panic.hpp"

namespace kovel::py {
namespace {

constexpr char fault_without_message[] = "kovel: internal fault";

/// Raises the panic exception with msg as its one argument.
void raise_panic(std::string_view msg) {
  PyObject* type = nullptr;
  try {
    type = panic_type();
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

void raise_current() {
  try {
    try {
      throw;  // never a thread's exit: the boundary lets that through before it gets here
    } catch (const BindError& e) {
      Obj msg = Obj::steal(PyUnicode_DecodeUTF8(
          e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "replace"));
      if (msg) PyErr_SetObject(e.type, msg.get());
    } catch (const PyErrorSet&) {
      PyObject* panic = panic_type_if_made();
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
