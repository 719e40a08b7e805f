// runtime_end.hpp: the end of one runtime of the interpreter (Py_FinalizeEx), where the
// module forgets the objects it made in that runtime.
#pragma once

namespace kovel::py {

struct OnceCell;

/// Registers, once per runtime, the module's part in the end of this runtime (with
/// Py_AtExit); false if the table of such functions is full. Needs the interpreter lock.
bool watch_runtime_end() noexcept;

/// Puts a cell that the caller has just filled, holding the interpreter lock, among those the
/// end of this runtime empties.
void forget_at_runtime_end(OnceCell& cell) noexcept;

}  // namespace kovel::py
