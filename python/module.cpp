// module.cpp: the module definition, its exec step and the one exported entry point.
#include "boundary.hpp"
#include "class_objects.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "interpreter_exit.hpp"
#include "node_memory.hpp"
#include "runtime_end.hpp"

namespace kovel::py {
namespace {

/// Appends name to the module's __all__ (made on first use) and sets the attribute.
void add(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all_name = interned(Name::All);
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

void add_class(PyObject* module, PyTypeObject* type, const char* name) {
  add(module, name, reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  Obj fn = checked(PyCFunction_NewEx(def, module, module_name));
  add(module, def->ml_name, fn.get());
}

// In registration (and so __all__) order.
PyMethodDef* const functions[] = {
    &tb_def,    &leaf_def, &sym_def,  &quote_def, &unquote_def,    &cmd_def,
    &write_def, &push_def, &name_def, &klift_def, &klift_html_def, &from_postcard_bytes_def,
};

/// Registers with atexit the hook that records the start of the interpreter's exit
/// (interpreter_exit.hpp). Only the main interpreter's exit ends threads; a subinterpreter's
/// does not.
void watch_exit(PyObject* module) {
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) return;
  // An exit recorded in an earlier runtime is over. This runtime's end must say so to the
  // next; if the table of Py_AtExit is full it cannot, and the mark stays set: other threads
  // then leak what they drop instead of freeing it.
  forget_ended_exit();
  static_cast<void>(watch_runtime_end());
  Obj atexit = checked(PyImport_ImportModule("atexit"));
  Obj hook = checked(PyCFunction_NewEx(&note_exit_def, module, nullptr));
  Obj done = checked(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
}

int kovel_exec(PyObject* module) {
  return guard_status([&] {
    add_class(module, kterm_type(), "KTerm");
    add_class(module, str_cmd_type(), "StrCmd");
    add_class(module, cmd_or_hole_type(), "CmdOrHole");
    add_class(module, builder_type(), "Builder");
    Obj module_name = checked(PyModule_GetNameObject(module));
    for (PyMethodDef* def : functions) add_function(module, module_name.get(), def);
    add(module, "NL", new_str_cmd(StrCmd{CmdKind::NL, {}}).get());
    add(module, "POP", new_str_cmd(StrCmd{CmdKind::POP, {}}).get());
    add(module, "HOLE", new_cmd_or_hole(hole()).get());
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
