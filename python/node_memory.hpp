// node_memory.hpp: term nodes take their memory from the interpreter.
#pragma once

namespace kovel::py {

/// Makes the interpreter's general allocator (PyMem_Malloc) the home of every term node.
/// Call before the first node is made.
void use_interpreter_allocator() noexcept;

}  // namespace kovel::py
