// instance.cpp: the refusal shared by the four classes' constructors.
#include "instance.hpp"

#include <string>

#include "conversions.hpp"

namespace kovel::py {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
  return guard([&]() -> PyObject* {
    auto* t = reinterpret_cast<PyObject*>(type);
    Obj module = checked(PyObject_GetAttrString(t, "__module__"));
    Obj qualname = checked(PyObject_GetAttrString(t, "__qualname__"));
    std::string msg = "cannot create '" + std::string(to_text(module.get())) + "." +
                      std::string(to_text(qualname.get())) + "' instances";
    fail(PyExc_TypeError, std::move(msg));
  });
}

}  // namespace kovel::py
