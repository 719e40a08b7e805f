// str_cmd.cpp: the StrCmd class, one string command passed around by reference.
#include "class_objects.hpp"
#include "classes.hpp"
#include "instance.hpp"

namespace kovel::py {
namespace {

constexpr char str_cmd_doc[] =
    "A single string command (`write`/`NL`/`push`/`POP`). Command objects are only ever "
    "passed by reference, never converted to a value.";

PyType_Slot str_cmd_slots[] = {
    {Py_tp_doc, const_cast<char*>(str_cmd_doc)},
    {Py_tp_dealloc, slot_fn(instance_dealloc<StrCmd>)},
    {0, nullptr},
};

// The bare class name: class_objects.cpp names the type "builtins.StrCmd".
PyType_Spec str_cmd_spec = {"StrCmd", instance_basicsize<StrCmd>, 0, Py_TPFLAGS_DEFAULT,
                            str_cmd_slots};

}  // namespace

PyTypeObject* str_cmd_type() { return class_object(Class::StrCmd, str_cmd_spec); }

Obj new_str_cmd(StrCmd cmd) { return make_instance(str_cmd_type(), std::move(cmd)); }

const StrCmd& as_str_cmd(PyObject* o) {
  return instance_value<StrCmd>(o, str_cmd_type(), "StrCmd");
}

}  // namespace kovel::py
