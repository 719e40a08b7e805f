// instance.hpp: the layout, creation and release of the module's class instances.
#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "boundary.hpp"
#include "errors.hpp"
#include "handle.hpp"
#include "py.hpp"

namespace kovel::py {

#if defined(Py_TARGET_ABI3T)
// The stable ABI of free-threaded builds hides the object's layout: a class reserves room for
// its value with a negative basicsize, and the interpreter says where that room lies.

/// The basicsize of a class whose instances hold one T.
template <class T>
inline constexpr int instance_basicsize = -static_cast<int>(sizeof(T));

/// Where the T of an instance of type lies.
template <class T>
T* value_in(PyObject* o, PyTypeObject* type) noexcept {
  return static_cast<T*>(PyObject_GetTypeData(o, type));
}
#else
/// An instance of one of the four classes: the object header, then one C++ value.
template <class T>
struct Instance {
  PyObject_HEAD T value;
};

/// The basicsize of a class whose instances hold one T.
template <class T>
inline constexpr int instance_basicsize = static_cast<int>(sizeof(Instance<T>));

/// Where the T of an instance of type lies.
template <class T>
T* value_in(PyObject* o, PyTypeObject*) noexcept {
  return &reinterpret_cast<Instance<T>*>(o)->value;
}
#endif

/// A new instance of type holding value (moved in). Throws PyErrorSet if allocation fails.
template <class T>
Obj make_instance(PyTypeObject* type, T&& value) {
  // No class takes part in garbage collection or sets Py_tp_alloc, and the value is built
  // right away: PyObject_New (the interpreter's small-object allocator and the header, no
  // zeroing) is all the generic allocator would do here.
  using V = std::remove_cvref_t<T>;
  Obj o = checked(PyObject_New(PyObject, type));
  std::construct_at(value_in<V>(o.get(), type), std::forward<T>(value));
  return o;
}

/// The value held by o if o is an instance of type; else the cast error naming `target`.
template <class T>
T& instance_value(PyObject* o, PyTypeObject* type, std::string_view target) {
  if (!PyObject_TypeCheck(o, type)) cast_error(o, target);
  return *value_in<T>(o, type);
}

/// Py_tp_dealloc of every class: destroys the value, frees the memory, drops the type.
template <class T>
void instance_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  try {
    std::destroy_at(value_in<T>(self, type));
  } catch (...) {
    // Named by its type: the hook would take a reference to self, which is being freed.
    report_unraisable(reinterpret_cast<PyObject*>(type));
  }
  PyObject_Free(self);  // the type's tp_free: no class sets Py_tp_free or takes part in GC
  Py_DECREF(type);
}

/// Casts a slot or method function for a PyType_Slot or PyMethodDef entry.
template <class F>
void* slot_fn(F* f) noexcept {
  return reinterpret_cast<void*>(f);
}
template <class F>
PyCFunction method_fn(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace kovel::py
