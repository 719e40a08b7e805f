// builder.cpp: the Builder class, a fluent Python skin over one core KTermBuilder.
#include <optional>
#include <utility>

#include "args.hpp"
#include "boundary.hpp"
#include "class_objects.hpp"
#include "classes.hpp"
#include "conversions.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace kovel::py {
namespace {

/// What a Builder object holds.
struct BuilderState {
  std::optional<KTermBuilder> builder;  // empty once b() has consumed it
  bool busy = false;                    // set while a method runs: an overlapping call fails
};

BuilderState& self_state(PyObject* self) {
  return instance_value<BuilderState>(self, builder_type(), "Builder");
}

/// The receiver of one Builder method call, taken for the length of the call: marked busy,
/// so that a call that overlaps it (from a conversion's Python code) fails, and held, since
/// that code (a metaclass's __qualname__ for the cast error) can drop every other reference.
class BuilderCall {
 public:
  explicit BuilderCall(PyObject* self) : self_(Obj::borrow(self)), st_(self_state(self)) {
    if (st_.busy) fail(PyExc_RuntimeError, "Already borrowed");
    st_.busy = true;
  }
  BuilderCall(const BuilderCall&) = delete;
  BuilderCall& operator=(const BuilderCall&) = delete;
  ~BuilderCall() { st_.busy = false; }

  BuilderState& state() const noexcept { return st_; }

 private:
  Obj self_;
  BuilderState& st_;
};

constexpr Sig<1> c_sig{"Builder", "c", {"child"}};
constexpr Sig<1> w_sig{"Builder", "w", {"s"}};
constexpr Sig<1> p_sig{"Builder", "p", {"s"}};
constexpr Sig<1> e_sig{"Builder", "e", {"child"}};

/// A one-argument method: bind, take the receiver, convert, then apply op if still open.
/// Returns the receiver, so calls chain.
template <class Conv, class Op>
PyObject* one_arg_method(const Sig<1>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Conv conv, Op op) {
  return guard([&] {
    Args<1> a(sig, args, nargs, kwnames);
    BuilderCall call(self);
    BuilderState& st = call.state();
    decltype(auto) arg = a.get(0, conv);
    if (st.builder) op(*st.builder, arg);
    return Obj::borrow(self).release();
  });
}

/// A method without arguments that appends one command to an open builder.
template <class Op>
PyObject* no_arg_method(PyObject* self, Op op) {
  return guard([&] {
    BuilderCall call(self);
    BuilderState& st = call.state();
    if (st.builder) op(*st.builder);
    return Obj::borrow(self).release();
  });
}

PyObject* builder_c(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_arg_method(c_sig, self, args, nargs, kwnames, as_kterm,
                        [](KTermBuilder& b, const KTermRef& t) { b.child(t); });
}

PyObject* builder_w(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_arg_method(w_sig, self, args, nargs, kwnames, to_text,
                        [](KTermBuilder& b, std::string_view s) { b.write(s); });
}

PyObject* builder_n(PyObject* self, PyObject*) {
  return no_arg_method(self, [](KTermBuilder& b) { b.nl(); });
}

PyObject* builder_p(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_arg_method(p_sig, self, args, nargs, kwnames, to_text,
                        [](KTermBuilder& b, std::string_view s) { b.push(s); });
}

PyObject* builder_x(PyObject* self, PyObject*) {
  return no_arg_method(self, [](KTermBuilder& b) { b.pop(); });
}

PyObject* builder_e(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return one_arg_method(e_sig, self, args, nargs, kwnames, as_kterm,
                        [](KTermBuilder& b, const KTermRef& t) { emit(KTermRef(t), b); });
}

PyObject* builder_b(PyObject* self, PyObject*) {
  return guard([&] {
    BuilderCall call(self);
    BuilderState& st = call.state();
    if (!st.builder) fail(PyExc_RuntimeError, "Builder already built");
    // The result object comes first and the node second, so that a failure of either (out
    // of memory) leaves the builder open with everything it had.
    Obj out = new_kterm(KTermRef());
    instance_value<KTermRef>(out.get(), kterm_type(), "KTerm") = std::move(*st.builder).b();
    st.builder.reset();
    return out.release();
  });
}

constexpr char builder_doc[] = "A fluent term builder, mirroring the core builder `KTermBuilder`.";

constexpr char builder_c_doc[] = "c($self, child)\n--\n\nSplice a child term.";
constexpr char builder_w_doc[] = "w($self, s)\n--\n\nWrite literal source text.";
constexpr char builder_n_doc[] = "n($self)\n--\n\nEmit a newline (respecting the current prefix).";
constexpr char builder_p_doc[] = "p($self, s)\n--\n\nPush an indentation prefix.";
constexpr char builder_x_doc[] = "x($self)\n--\n\nPop an indentation prefix.";
constexpr char builder_e_doc[] =
    "e($self, child)\n--\n\nEmit a child term; for a `KTerm` this is the same as `c`.";
constexpr char builder_b_doc[] = "b($self)\n--\n\nBuild the term. Consumes the builder.";

PyMethodDef builder_methods[] = {
    {"c", method_fn(builder_c), METH_FASTCALL | METH_KEYWORDS, builder_c_doc},
    {"w", method_fn(builder_w), METH_FASTCALL | METH_KEYWORDS, builder_w_doc},
    {"n", method_fn(builder_n), METH_NOARGS, builder_n_doc},
    {"p", method_fn(builder_p), METH_FASTCALL | METH_KEYWORDS, builder_p_doc},
    {"x", method_fn(builder_x), METH_NOARGS, builder_x_doc},
    {"e", method_fn(builder_e), METH_FASTCALL | METH_KEYWORDS, builder_e_doc},
    {"b", method_fn(builder_b), METH_NOARGS, builder_b_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot builder_slots[] = {
    {Py_tp_doc, const_cast<char*>(builder_doc)},
    {Py_tp_dealloc, slot_fn(instance_dealloc<BuilderState>)},
    {Py_tp_methods, builder_methods},
    {0, nullptr},
};

// The bare class name: class_objects.cpp names the type "builtins.Builder".
PyType_Spec builder_spec = {"Builder", instance_basicsize<BuilderState>, 0, Py_TPFLAGS_DEFAULT,
                            builder_slots};

}  // namespace

PyTypeObject* builder_type() { return class_object(Class::Builder, builder_spec); }

Obj new_builder(KTermBuilder builder) {
  return make_instance(builder_type(), BuilderState{std::move(builder), false});
}

}  // namespace kovel::py
