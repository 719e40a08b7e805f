// cmd_or_hole.cpp: the CmdOrHole class, one command-list entry (a command or HOLE).
#include "class_objects.hpp"
#include "classes.hpp"
#include "instance.hpp"

namespace kovel::py {
namespace {

constexpr char cmd_or_hole_doc[] =
    "A `StrCmd` or a child placeholder (`HOLE`), used in `quote`/`unquote` cmds.";

PyType_Slot cmd_or_hole_slots[] = {
    {Py_tp_doc, const_cast<char*>(cmd_or_hole_doc)},
    {Py_tp_dealloc, slot_fn(instance_dealloc<CmdOrHole>)},
    {0, nullptr},
};

// The bare class name: class_objects.cpp names the type "builtins.CmdOrHole".
PyType_Spec cmd_or_hole_spec = {"CmdOrHole", instance_basicsize<CmdOrHole>, 0, Py_TPFLAGS_DEFAULT,
                                cmd_or_hole_slots};

}  // namespace

PyTypeObject* cmd_or_hole_type() { return class_object(Class::CmdOrHole, cmd_or_hole_spec); }

Obj new_cmd_or_hole(CmdOrHole entry) { return make_instance(cmd_or_hole_type(), std::move(entry)); }

const CmdOrHole& as_cmd_or_hole(PyObject* o) {
  return instance_value<CmdOrHole>(o, cmd_or_hole_type(), "CmdOrHole");
}

}  // namespace kovel::py
