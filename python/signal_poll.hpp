// signal_poll.hpp: the poll that the core's long walks call, so that signals are handled.
#pragma once

#include "errors.hpp"
#include "py.hpp"

namespace kovel::py {

/// Runs pending signal handlers, and throws PyErrorSet when one raised (KeyboardInterrupt,
/// say): the walk that called it stops there.
inline void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrorSet{};
}

}  // namespace kovel::py
