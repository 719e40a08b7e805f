// runtime_end.cpp: the end of a runtime of the interpreter, where the module empties the cells
// filled in that runtime and records that its exit is over.
#include "runtime_end.hpp"

#include <utility>

#include "interpreter_exit.hpp"
#include "once.hpp"

namespace kovel::py {
namespace {

// Changed under the interpreter lock; read by end_runtime, when no thread runs Python code.
OnceCell* last_filled = nullptr;  // the cells filled in this runtime, through filled_before
bool watched = false;             // end_runtime is registered for this runtime's end

// Runs at the very end of Py_FinalizeEx, after the runtime's interpreters are gone. What the
// cells hold belongs to that runtime, which has freed parts of it (from 3.14 the interned
// names in a class's dictionary): the cells are only emptied, their references never dropped.
void end_runtime() {
  OnceCell* cell = std::exchange(last_filled, nullptr);
  while (cell) {
    cell->obj.store(nullptr, std::memory_order_release);
    cell = std::exchange(cell->filled_before, nullptr);
  }
  watched = false;
  exit_is_over();
}

}  // namespace

bool watch_runtime_end() noexcept {
  // The table's functions run, and leave it, when the runtime ends: one entry per runtime.
  if (!watched) watched = Py_AtExit(end_runtime) == 0;
  return watched;
}

void forget_at_runtime_end(OnceCell& cell) noexcept {
  // The table holds 32 functions for every library of the process. When it is full the cell
  // keeps its object for good, as in a process that never finalises Python, and a later
  // runtime shares it: sound up to 3.11; later its version tag may be a new class's too, and
  // from 3.14 the names its dictionary holds are freed.
  if (!watch_runtime_end()) return;
  cell.filled_before = last_filled;
  last_filled = &cell;
}

}  // namespace kovel::py
