// interpreter_exit.hpp: whether the interpreter has begun to exit, which decides who may
// still drop a Python reference or free a node.
#pragma once

#include <atomic>

#include "py.hpp"

namespace kovel::py {

/// Set when the main interpreter begins to exit. From then on a daemon thread that tries to
/// take the interpreter lock back is ended where it stands (CPython before 3.14 unwinds its
/// stack), and the handles in our frames unwind without the lock: they must not touch a
/// reference count then. Set by the module's atexit hook; read by every handle, one load each.
extern std::atomic<bool> exit_begun;
/// True on the thread that runs the interpreter's exit.
bool on_exit_thread() noexcept;

/// Whether this thread may drop a reference now: always, until the interpreter exits; then
/// only on the thread that runs the exit, the others leak what they hold.
inline bool may_release() noexcept {
  return !exit_begun.load(std::memory_order_acquire) || on_exit_thread();
}

/// The atexit hook `_note_exit()`, which sets exit_begun on the thread that runs the exit;
/// the exec step registers it. atexit runs it before the interpreter ends its daemon
/// threads.
extern PyMethodDef note_exit_def;
/// Records that the runtime has ended, and with it the exit that exit_begun records; the
/// runtime's end calls it (runtime_end.cpp).
void exit_is_over() noexcept;
/// Clears exit_begun once the runtime whose exit it records has ended, so that the main
/// interpreter of a new runtime starts with none. Not before: threads of the old runtime that
/// wake after its end are ended there too (before 3.14), and must leak what they hold.
void forget_ended_exit() noexcept;

}  // namespace kovel::py
