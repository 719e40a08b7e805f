// kterm.cpp: the KTerm class, the Python face of one shared core term.
#include <cstring>
#include <string>

#include "boundary.hpp"
#include "class_objects.hpp"
#include "classes.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "interned.hpp"
#include "kterm/postcard.hpp"
#include "signal_poll.hpp"
#include "term/sterm.hpp"
#include "text/escape.hpp"

namespace kovel::py {
namespace {

/// The receiver's term, held for the whole call. A C caller such as list.__repr__ passes the
/// receiver without a reference of its own, and the signal handlers that a long walk runs may
/// drop the object's last one; the term must outlive the walk all the same.
KTermRef self_term(PyObject* self) { return as_kterm(self); }

Obj new_str(std::string_view s) {
  return checked(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyObject* kterm_str(PyObject* self) {
  return guard([&] {
    KTermRef term = self_term(self);
    ByteBuffer text;
    coparse_into(*term, text, check_signals);
    return new_str(text.view()).release();
  });
}

PyObject* kterm_repr(PyObject* self) {
  return guard([&] {
    KTermRef term = self_term(self);
    std::string text = coparse(*term, check_signals);
    std::string out;
    out.reserve(text.size() + 16);
    out += "KTerm(";
    text::append_repr_literal(out, text, check_signals);
    out += ')';
    return new_str(out).release();
  });
}

PyObject* kterm_coparse(PyObject* self, PyObject*) { return kterm_str(self); }

PyObject* kterm_postcard_bytes(PyObject* self, PyObject*) {
  return guard([&] {
    KTermRef term = self_term(self);
    std::string out;
    encode(*term, out, check_signals);
    return checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())))
        .release();
  });
}

PyObject* kterm_reduce(PyObject* self, PyObject*) {
  return guard([&] {
    // The owned text doubles as the NUL-terminated copy that the compiler reads.
    KTermRef term = self_term(self);
    std::string text = coparse(*term, check_signals);
    if (const void* nul = std::memchr(text.data(), 0, text.size())) {
      auto at = static_cast<const char*>(nul) - text.data();
      fail(PyExc_ValueError, "nul byte found in provided data at position: " + std::to_string(at));
    }
    Obj code = checked(Py_CompileString(text.c_str(), "<string>", Py_eval_input));
    Obj main = Obj::borrow(PyImport_AddModule("__main__"));
    if (!main) throw PyErrorSet{};
    Obj globals = checked(PyObject_GetAttr(main.get(), interned(Name::Dict)));
    if (!PyDict_Check(globals.get())) cast_error(globals.get(), "dict");
    PyObject* builtins_key = interned(Name::Builtins);
    if (!checked(PySequence_Contains(globals.get(), builtins_key))) {
      // Held: storing can run a colliding key's __eq__, which may rebind the builtins.
      Obj builtins = Obj::borrow(PyEval_GetBuiltins());
      if (!builtins) throw PyErrorSet{};
      checked(PyDict_SetItem(globals.get(), builtins_key, builtins.get()));
    }
    return checked(PyEval_EvalCode(code.get(), globals.get(), globals.get())).release();
  });
}

constexpr char kterm_doc[] =
    "A term of the `kovel` package, held as a shared reference to an immutable core term.";

constexpr char kterm_coparse_doc[] =
    "coparse($self)\n--\n\nSerialize the term back to source code.";
constexpr char kterm_postcard_bytes_doc[] =
    "postcard_bytes($self)\n--\n\n"
    "Serialize this term to postcard bytes for the heterogeneous `py\u2193` protocol.";
constexpr char kterm_reduce_doc[] =
    "reduce($self)\n--\n\n"
    "Eval this term's source and return the resulting Python value (the `\u2193` operator).";

PyMethodDef kterm_methods[] = {
    {"coparse", method_fn(kterm_coparse), METH_NOARGS, kterm_coparse_doc},
    {"postcard_bytes", method_fn(kterm_postcard_bytes), METH_NOARGS, kterm_postcard_bytes_doc},
    {"reduce", method_fn(kterm_reduce), METH_NOARGS, kterm_reduce_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kterm_slots[] = {
    {Py_tp_doc, const_cast<char*>(kterm_doc)},
    {Py_tp_dealloc, slot_fn(instance_dealloc<KTermRef>)},
    {Py_tp_repr, slot_fn(kterm_repr)},
    {Py_tp_str, slot_fn(kterm_str)},
    {Py_tp_methods, kterm_methods},
    {0, nullptr},
};

// The bare class name: class_objects.cpp names the type "builtins.KTerm".
PyType_Spec kterm_spec = {"KTerm", instance_basicsize<KTermRef>, 0, Py_TPFLAGS_DEFAULT,
                          kterm_slots};

}  // namespace

PyTypeObject* kterm_type() { return class_object(Class::KTerm, kterm_spec); }

Obj new_kterm(KTermRef term) { return make_instance(kterm_type(), std::move(term)); }

const KTermRef& as_kterm(PyObject* o) { return instance_value<KTermRef>(o, kterm_type(), "KTerm"); }

}  // namespace kovel::py
