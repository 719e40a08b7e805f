// conversions.hpp: an argument converted by the kind of its parameter (text, integer, 8-bit
// index, bytes, command list); each failure is a BindError or PyErrorSet for Args::get.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "py.hpp"
#include "term/cmd_or_hole.hpp"

namespace kovel::py {

static_assert(sizeof(long) == 8,
              "kovel needs a 64-bit C long: LP64 targets (64-bit Linux, macOS, the BSDs)");

/// Text: a str's strict UTF-8, read in place (valid while the str lives).
inline std::string_view to_text(PyObject* o) {
  if (!PyUnicode_Check(o)) cast_error(o, "str");
  Py_ssize_t n = 0;
  // Strict UTF-8: a lone surrogate raises the interpreter's UnicodeEncodeError.
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) throw PyErrorSet{};
  return {s, static_cast<size_t>(n)};
}
/// An int (or an object with __index__) as a signed 64-bit value, a C long; -1 with an error
/// set when it is not an integer or out of range ("Python int too large to convert to C
/// long").
inline int64_t to_int64(PyObject* o) { return PyLong_AsLong(o); }
/// 8-bit index: an int or __index__ object in 0..255.
uint8_t to_index8(PyObject* o);
/// Bytes: the content of a bytes object (subclasses too), read in place.
std::string_view to_bytes(PyObject* o);
/// Command list: a sequence of CmdOrHole objects, copied.
std::vector<CmdOrHole> to_cmd_list(PyObject* o);

}  // namespace kovel::py
