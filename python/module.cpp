// module.cpp: the module definition, its exec step and the one exported entry point.
#include "cells.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "instance.hpp"
#include "process.hpp"

namespace kovel::py {
namespace {

/// Appends name to the module's __all__ (made on first use) and sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_name = cells::name(cells::Name::All);
  Obj all = Obj::steal(PyObject_GetAttr(module, all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    all = checked(PyList_New(0));
    checked(PyObject_SetAttr(module, all_name, all.get()));
  }
  if (!PyList_Check(all.get())) cast_error(all.get(), "list");
  checked(PyList_Append(all.get(), name));
  checked(PyObject_SetAttr(module, name, value));
}

void add(PyObject* module, const char* name, PyObject* value) {
  Obj key = checked(PyUnicode_FromString(name));
  add(module, key.get(), value);
}

/// A new version tag for a class kept from before: where the host initialised the interpreter
/// again, the counter of tags has started over, and the tag kept from the last run may be
/// another class's now, whose cached lookups the interpreter would then apply to ours.
void refresh_tag(PyTypeObject* type) { PyType_Modified(type); }

void add_class(PyObject* module, PyTypeObject* type, const char* name) {
  refresh_tag(type);
  add(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Obj fn = checked(PyCFunction_NewEx(def, module, module_name));
  Obj fn_name = checked(PyObject_GetAttr(fn.get(), cells::name(cells::Name::Name)));
  if (!PyUnicode_Check(fn_name.get())) cast_error(fn_name.get(), "str");
  add(module, fn_name.get(), fn.get());
}

// In registration (and so __all__) order.
PyMethodDef* const functions[] = {
    &tb_def,    &leaf_def, &sym_def,  &quote_def, &unquote_def,    &cmd_def,
    &write_def, &push_def, &name_def, &klift_def, &klift_html_def, &from_postcard_bytes_def,
};

int kovel_exec(PyObject* module) {
  return guard_status([&] {
    if (!PyModule_Check(module)) cast_error(module, "module");
    add_class(module, kterm_type(), "KTerm");
    add_class(module, str_cmd_type(), "StrCmd");
    add_class(module, cmd_or_hole_type(), "CmdOrHole");
    add_class(module, builder_type(), "Builder");
    Obj module_name = checked(PyModule_GetNameObject(module));
    for (PyMethodDef* def : functions) add_function(module, module_name.get(), def);
    add(module, "NL", new_str_cmd(StrCmd{CmdKind::NL, {}}).get());
    add(module, "POP", new_str_cmd(StrCmd{CmdKind::POP, {}}).get());
    add(module, "HOLE", new_cmd_or_hole(hole()).get());
    if (PyObject* panic = cells::panic_type_if_made()) {
      refresh_tag(reinterpret_cast<PyTypeObject*>(panic));
    }
    watch_exit(module);
  });
}

constexpr char module_doc[] =
    "kovel's core IR, exposed to Python as the native `kovel._kovel` module\n"
    "(re-exported by the `kovel` package's `__init__.py`).";

#if defined(Py_TARGET_ABI3T)
// The stable ABI of free-threaded builds hides PyModuleDef: the module is described by a
// static array of slots, which the interpreter asks for through PyModExport__kovel.

PyABIInfo_VAR(abi_info);

// Every entry runs with the interpreter lock held and none is ready to run without it: a
// free-threaded interpreter turns the lock on when it imports the module (and says so). Only
// interpreters that share the main interpreter's lock may import it, as with PyInit__kovel.
PySlot kovel_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR_STATIC(Py_mod_name, "_kovel"),
    PySlot_PTR_STATIC(Py_mod_doc, module_doc),
    PySlot_PTR(Py_mod_exec, slot_fn(kovel_exec)),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_USED),
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED),
    PySlot_END,
};

}  // namespace
}  // namespace kovel::py

PyMODEXPORT_FUNC PyModExport__kovel(void) {
  // The interpreter may ask again, from any thread, while other threads make nodes: the
  // allocator is set once, before the first node.
  static const bool allocator_set = (kovel::py::use_interpreter_allocator(), true);
  static_cast<void>(allocator_set);
  return kovel::py::kovel_slots;
}
#else
PyModuleDef_Slot kovel_slots[] = {
    {Py_mod_exec, slot_fn(kovel_exec)},
    {0, nullptr},
};

PyModuleDef kovel_module = {
    PyModuleDef_HEAD_INIT,
    "_kovel",
    module_doc,
    0,        // no per-module state
    nullptr,  // functions are added by the exec step
    kovel_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace kovel::py

PyMODINIT_FUNC PyInit__kovel(void) {
  // Before any node exists: the allocator is the process's for good.
  kovel::py::use_interpreter_allocator();
  return PyModuleDef_Init(&kovel::py::kovel_module);
}
#endif
