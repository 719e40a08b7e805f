// interned.hpp: the attribute names the binding looks up often, interned once per runtime.
#pragma once

#include "py.hpp"

namespace kovel::py {

/// __all__ (the exec step), __dict__ and __builtins__ (KTerm.reduce).
enum class Name { All, Dict, Builtins };

/// The interned name, created on first need; borrowed. Throws PyErrorSet on failure.
PyObject* interned(Name which);

}  // namespace kovel::py
