// cells.cpp: storage and once-only creation of the process-wide objects.
#include "cells.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "frame.hpp"
#include "handle.hpp"

namespace kovel::py::cells {
namespace {

/// One object made once per process and never released.
struct Cell {
  std::atomic<PyObject*> obj{nullptr};
};

/// Returns the cell's object, running make() (which returns a new reference, or null with an
/// error set) if it is still empty. The interpreter lock is the only lock: make() may give it
/// up (an import does), so another thread can fill the cell meanwhile, and then the first
/// object stored wins and the other is dropped. A lock of our own would be worse: a fork
/// while another thread held it would leave it held for good in the child.
template <class Make>
PyObject* fill_once(Cell& cell, Make make) {
  if (PyObject* p = cell.obj.load(std::memory_order_acquire)) return p;
  Obj made = checked(make());
  if (PyObject* p = cell.obj.load(std::memory_order_acquire)) return p;  // another thread's
  cell.obj.store(made.get(), std::memory_order_release);
  return made.release();  // the cell keeps this reference for the life of the process
}

Cell classes[4];              // class_object: kterm.cpp, str_cmd.cpp, cmd_or_hole.cpp, builder.cpp
Cell panic;                   // panic_type: frame.cpp
Cell names[5];                // name: frame.cpp, module.cpp, kterm.cpp
std::atomic<int> version{0};  // python_version: this file

// Type names handed to PyType_FromSpec on 3.10, whose types keep pointing at them.
std::unique_ptr<char[]> kept_type_names[4];

const char* const name_texts[5] = {"__all__", "__name__", "__dict__", "__builtins__",
                                   "__qualname__"};

constexpr char panic_doc[] =
    "The exception raised when the native code of `kovel._kovel`, called from Python, panics.\n"
    "\n"
    "Like `SystemExit`, it derives from `BaseException`, so that it will typically propagate\n"
    "all the way through the stack and cause the Python interpreter to exit.";

// BaseException's own release, which the panic class extends: it frees the instance but, as
// the release of a static class, leaves the instance's reference to its class in place.
void panic_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto base = reinterpret_cast<destructor>(
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(PyExc_BaseException), Py_tp_dealloc));
  base(self);
  Py_DECREF(type);
}

PyType_Slot panic_slots[] = {
    {Py_tp_doc, const_cast<char*>(panic_doc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(panic_dealloc)},
    {0, nullptr},
};

// Named under the package, which gives it to pickle (kovel.PanicException), so that a panic in
// a worker process reaches its pool as itself. Immutable, as the four classes are; it takes
// BaseException's size, layout and garbage collection, and stays open to subclasses.
PyType_Spec panic_spec = {"kovel.PanicException", 0, 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                          panic_slots};

}  // namespace

std::atomic<PyTypeObject*> made_classes[4] = {};

PyTypeObject* make_class_object(Class which, const PyType_Spec& type_spec) {
  auto i = static_cast<size_t>(which);
  PyObject* type = fill_once(classes[i], [&]() -> PyObject* {
    constexpr char prefix[] = "builtins.";
    size_t n = std::strlen(type_spec.name);
    std::unique_ptr<char[]> full(new char[sizeof prefix + n]);
    std::memcpy(full.get(), prefix, sizeof prefix - 1);
    std::memcpy(full.get() + sizeof prefix - 1, type_spec.name, n + 1);
    PyType_Spec named = type_spec;
    named.name = full.get();
    // Immutable: no interpreter of the process can change a class that all of them share,
    // and its version tag comes from the counter of the whole process, not from one
    // interpreter's, which another interpreter's classes would repeat.
    named.flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyObject* made = PyType_FromSpec(&named);
    // 3.11 and later copy the name into the type; 3.10 keeps the pointer, so the name lives
    // as long as the process (one that loses a race to fill the cell is let go as well).
    if (made && python_version() < 311) {
      if (!kept_type_names[i]) {
        kept_type_names[i] = std::move(full);
      } else {
        (void)full.release();
      }
    }
    return made;
  });
  auto* made = reinterpret_cast<PyTypeObject*>(type);
  made_classes[i].store(made, std::memory_order_release);
  return made;
}

PyObject* panic_type() {
  return fill_once(panic,
                   [] { return PyType_FromSpecWithBases(&panic_spec, PyExc_BaseException); });
}

PyObject* panic_type_if_made() noexcept { return panic.obj.load(std::memory_order_acquire); }

PyObject* name(Name which) {
  auto i = static_cast<size_t>(which);
  return fill_once(names[i], [&] { return PyUnicode_InternFromString(name_texts[i]); });
}

int python_version() noexcept {
  int v = version.load(std::memory_order_relaxed);
  if (v != 0) return v;
  // Py_GetVersion() starts with "major.minor.micro"; every thread computes the same value.
  const char* s = Py_GetVersion();
  char* end = nullptr;
  long major = std::strtol(s, &end, 10);
  long minor = *end == '.' ? std::strtol(end + 1, nullptr, 10) : 0;
  v = static_cast<int>(major * 100 + minor);
  version.store(v, std::memory_order_relaxed);
  return v;
}

}  // namespace kovel::py::cells
