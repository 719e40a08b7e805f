// panic.hpp: PanicException, the class of the exception that reports an internal fault.
#pragma once

#include "py.hpp"

namespace kovel::py {

/// The panic exception class, created on first need; borrowed. Throws PyErrorSet on failure.
PyObject* panic_type();
/// The panic exception class if it exists yet, else null; borrowed. Never fails.
PyObject* panic_type_if_made() noexcept;

}  // namespace kovel::py
