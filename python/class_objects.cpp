// class_objects.cpp: the creation of the four classes, and their version tags.
//
// The classes are made once per process and shared by every interpreter that imports the
// module: subinterpreters that share the main interpreter's lock, and the interpreters of a
// host that finalises Python and initialises it again. Sharing them is sound because they
// are immutable (Py_TPFLAGS_IMMUTABLETYPE) and their instances hold no Python object: no
// interpreter can set or delete anything on a class that the others see. It relies on one
// behaviour of the interpreter: the version tag of an immutable type, the key under which
// method lookups are cached and attribute loads specialised, comes from the counter of the
// whole process, not from one interpreter's counter, whose tags another interpreter's classes
// would repeat. A host that initialises Python again restarts that counter too (3.12 and later
// do): a tag kept from the last run may then go to a new class, whose cached lookups the
// interpreter would take for ours. So each exec step gives every class made so far a fresh
// tag (PyType_Modified).
#include "class_objects.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "panic.hpp"

namespace kovel::py {
namespace {

std::atomic<int> version{0};  // python_version

/// The running interpreter's version as major * 100 + minor (e.g. 311), read once.
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

}  // namespace

// class_object: kterm.cpp, str_cmd.cpp, cmd_or_hole.cpp, builder.cpp
OnceCell class_cells[4];

PyTypeObject* make_class_object(Class which, const PyType_Spec& type_spec) {
  auto i = static_cast<size_t>(which);
  PyObject* type = fill_once(class_cells[i], [&]() -> PyObject* {
    constexpr char prefix[] = "builtins.";
    size_t n = std::strlen(type_spec.name);
    std::unique_ptr<char[]> full(new char[sizeof prefix + n]);
    std::memcpy(full.get(), prefix, sizeof prefix - 1);
    std::memcpy(full.get() + sizeof prefix - 1, type_spec.name, n + 1);
    PyType_Spec named = type_spec;
    named.name = full.get();
    // Immutable (see above), and without a constructor: calling the class raises the
    // interpreter's TypeError "cannot create 'builtins.KTerm' instances"; only the module
    // makes instances.
    named.flags |= Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    PyObject* made = PyType_FromSpec(&named);
    // 3.11 and later copy the name into the type; 3.10 keeps pointing at it, so there the
    // name lives as long as the process.
    if (made && python_version() < 311) static_cast<void>(full.release());
    return made;
  });
  return reinterpret_cast<PyTypeObject*>(type);
}

void renew_version_tags() noexcept {
  for (const OnceCell& cell : class_cells) {
    if (PyObject* type = cell.get()) PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  }
  if (PyObject* panic = panic_type_if_made()) {
    PyType_Modified(reinterpret_cast<PyTypeObject*>(panic));
  }
}

}  // namespace kovel::py
