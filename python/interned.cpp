// interned.cpp: the interned attribute names, each in its once-only cell.
#include "interned.hpp"

#include <cstddef>

#include "once.hpp"

namespace kovel::py {
namespace {

OnceCell names[3];

const char* const name_texts[3] = {"__all__", "__dict__", "__builtins__"};

}  // namespace

PyObject* interned(Name which) {
  auto i = static_cast<size_t>(which);
  return fill_once(names[i], [&] { return PyUnicode_InternFromString(name_texts[i]); });
}

}  // namespace kovel::py
