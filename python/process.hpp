// process.hpp: node memory from the interpreter, and the interpreter's exit.
#pragma once

#include "py.hpp"

namespace kovel::py {

/// Makes the interpreter's general allocator (PyMem_Malloc) the home of every term node.
void use_interpreter_allocator() noexcept;

/// Registers with atexit the mark that the interpreter has begun to exit (exit_begun).
/// Throws PyErrorSet on failure.
void watch_exit(PyObject* module);

}  // namespace kovel::py
