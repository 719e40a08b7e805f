// panic.cpp: the panic exception class, made once per runtime at the first internal fault.
#include "panic.hpp"

#include "once.hpp"

namespace kovel::py {
namespace {

OnceCell panic;  // panic_type: the boundary

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

PyObject* panic_type() {
  return fill_once(panic,
                   [] { return PyType_FromSpecWithBases(&panic_spec, PyExc_BaseException); });
}

PyObject* panic_type_if_made() noexcept { return panic.get(); }

}  // namespace kovel::py
