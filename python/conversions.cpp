// conversions.cpp: the conversions to an 8-bit index, to bytes and to a command list.
#include "conversions.hpp"

#include <algorithm>

#include "classes.hpp"
#include "handle.hpp"

namespace kovel::py {
namespace {

// Room reserved from a sequence's reported length is capped: the length is only a hint.
constexpr Py_ssize_t max_reserved_cmds = 4096;

}  // namespace

uint8_t to_index8(PyObject* o) {
  // Takes ints directly and other objects through __index__.
  int64_t v = to_int64(o);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (v < 0 || v > 255)
    fail(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<uint8_t>(v);
}

std::string_view to_bytes(PyObject* o) {
  if (!PyBytes_Check(o)) cast_error(o, "bytes");
  char* p = nullptr;
  Py_ssize_t n = 0;
  checked(PyBytes_AsStringAndSize(o, &p, &n));
  return {p, static_cast<size_t>(n)};
}

std::vector<CmdOrHole> to_cmd_list(PyObject* o) {
  if (PyUnicode_Check(o)) fail(PyExc_TypeError, "a 'str' cannot be converted into a command list");
  std::vector<CmdOrHole> out;
  auto take = [&](PyObject* item) { out.push_back(as_cmd_or_hole(item)); };
  // Exact lists and tuples cannot override iteration: read their items in place. Each item
  // is held while it is read, and a list's length is read afresh at every step, since a
  // failing item's type lookup can run code that empties the list.
  if (PyList_CheckExact(o)) {
    out.reserve(static_cast<size_t>(PyList_Size(o)));
    for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) take(Obj::borrow(PyList_GetItem(o, i)).get());
    return out;
  }
  if (PyTuple_CheckExact(o)) {
    Py_ssize_t n = PyTuple_Size(o);
    out.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) take(Obj::borrow(PyTuple_GetItem(o, i)).get());
    return out;
  }
  if (!PySequence_Check(o)) {
    // The class of the interpreter at hand, imported each time: one kept from another
    // interpreter (or an earlier run of this one) is a mutable class whose cached lookups
    // this interpreter would confuse with those of its own classes.
    Obj abc = checked(PyImport_ImportModule("collections.abc"));
    Obj sequence = checked(PyObject_GetAttrString(abc.get(), "Sequence"));
    Obj qual = checked(PyObject_GetAttrString(sequence.get(), "__qualname__"));
    cast_error(o, to_text(qual.get()));
  }
  Py_ssize_t hint = PyObject_Size(o);
  if (hint < 0) {
    discard_error();
  } else {
    out.reserve(static_cast<size_t>(std::min(hint, max_reserved_cmds)));
  }
  Obj it = checked(PyObject_GetIter(o));
  while (Obj item = Obj::steal(PyIter_Next(it.get()))) take(item.get());
  if (PyErr_Occurred()) throw PyErrorSet{};
  return out;
}

}  // namespace kovel::py
