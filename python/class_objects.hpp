// class_objects.hpp: the four class objects, made once per runtime on first need.
#pragma once

#include <cstddef>

#include "once.hpp"
#include "py.hpp"

namespace kovel::py {

/// The four classes, in the order the module registers them.
enum class Class { KTerm, StrCmd, CmdOrHole, Builder };

/// The class objects made so far; read by class_object's fast path.
extern OnceCell class_cells[4];
/// class_object's first need: makes the class, or finds it made by another thread.
PyTypeObject* make_class_object(Class which, const PyType_Spec& type_spec);

/// The class object for `which`, created from `type_spec` on first need; borrowed.
/// type_spec.name is the bare class name; the type is named "builtins." followed by it.
/// Throws PyErrorSet if the type cannot be made.
inline PyTypeObject* class_object(Class which, const PyType_Spec& type_spec) {
  if (PyObject* t = class_cells[static_cast<size_t>(which)].get())
    return reinterpret_cast<PyTypeObject*>(t);
  return make_class_object(which, type_spec);
}

}  // namespace kovel::py
