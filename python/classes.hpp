// classes.hpp: the four Python classes as the rest of the binding sees them.
#pragma once

#include "handle.hpp"
#include "kterm/builder.hpp"
#include "kterm/kterm.hpp"
#include "py.hpp"
#include "strcmd/strcmd.hpp"
#include "term/cmd_or_hole.hpp"

namespace kovel::py {

// KTerm (kterm.cpp)
/// The class object, created on first need; borrowed.
PyTypeObject* kterm_type();
/// A new KTerm object holding term.
Obj new_kterm(KTermRef term);
/// The term held by a KTerm object; cast error otherwise. Valid while o lives.
const KTermRef& as_kterm(PyObject* o);

// StrCmd (str_cmd.cpp)
/// The class object, created on first need; borrowed.
PyTypeObject* str_cmd_type();
/// A new StrCmd object holding cmd.
Obj new_str_cmd(StrCmd cmd);
/// The command held by a StrCmd object; cast error otherwise. Valid while o lives.
const StrCmd& as_str_cmd(PyObject* o);

// CmdOrHole (cmd_or_hole.cpp)
/// The class object, created on first need; borrowed.
PyTypeObject* cmd_or_hole_type();
/// A new CmdOrHole object holding entry.
Obj new_cmd_or_hole(CmdOrHole entry);
/// The entry held by a CmdOrHole object; cast error otherwise. Valid while o lives.
const CmdOrHole& as_cmd_or_hole(PyObject* o);

// Builder (builder.cpp)
/// The class object, created on first need; borrowed.
PyTypeObject* builder_type();
/// A new, open Builder object owning builder.
Obj new_builder(KTermBuilder builder);

}  // namespace kovel::py
