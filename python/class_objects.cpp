// class_objects.cpp: the creation of the four classes.
//
// The classes live for one runtime of the interpreter, from its initialisation to its
// finalisation, and are shared by the interpreters of that runtime that import the module: the
// main interpreter and the subinterpreters that share its lock. Sharing them is sound because
// they are immutable (Py_TPFLAGS_IMMUTABLETYPE) and their instances hold no Python object: no
// interpreter can set or delete anything on a class that the others see. And the version tag
// of an immutable type, the key under which method lookups are cached and attribute loads
// specialised, comes from a counter that every interpreter of the runtime shares, not from one
// interpreter's, whose tags another interpreter's classes would repeat. The end of the runtime
// forgets the classes (runtime_end.cpp), for it frees what they hold (from 3.14 the interned
// names that key their dictionaries) and restarts that counter (3.12 and later), whose old
// tags then go to new classes. A runtime that the host starts afterwards makes its own.
#include "class_objects.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

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

}  // namespace kovel::py
