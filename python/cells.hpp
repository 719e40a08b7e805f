// cells.hpp: the process-wide objects, each created once on first need and kept for good.
#pragma once

#include <atomic>
#include <cstddef>

#include "py.hpp"

namespace kovel::py::cells {

/// The four classes, in the order the module registers them.
enum class Class { KTerm, StrCmd, CmdOrHole, Builder };

/// The class objects made so far (null until made); read by class_object's fast path.
extern std::atomic<PyTypeObject*> made_classes[4];
/// class_object's first need: makes the class, or finds it made by another thread.
PyTypeObject* make_class_object(Class which, const PyType_Spec& type_spec);

/// The class object for `which`, created from `type_spec` on first need; borrowed.
/// type_spec.name is the bare class name; the type is named "builtins." followed by it.
/// Throws PyErrorSet if the type cannot be made.
inline PyTypeObject* class_object(Class which, const PyType_Spec& type_spec) {
  if (PyTypeObject* t = made_classes[static_cast<size_t>(which)].load(std::memory_order_acquire))
    return t;
  return make_class_object(which, type_spec);
}

/// The panic exception class, created on first need; borrowed. Throws PyErrorSet on failure.
PyObject* panic_type();
/// The panic exception class if it exists yet, else null; borrowed. Never fails.
PyObject* panic_type_if_made() noexcept;

/// The interned attribute names: __all__, __name__, __dict__, __builtins__, __qualname__.
enum class Name { All, Name, Dict, Builtins, Qualname };
/// The interned name, created on first need; borrowed. Throws PyErrorSet on failure.
PyObject* name(Name which);

/// The running interpreter's version as major * 100 + minor (e.g. 311), read once.
int python_version() noexcept;

}  // namespace kovel::py::cells
