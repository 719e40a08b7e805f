// poll.hpp: the interruption hook that long walks call at bounded intervals.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kovel {

/// Called by a walk whose running time can outgrow its input (emission, encoding, decoding).
/// It may throw to end the walk; the walk then unwinds, releasing what it built. Null: never.
using Poll = void (*)();

/// Decides when a walk calls its poll: after a fixed number of steps, or sooner when its
/// output has grown by a fixed number of bytes since the last call. Both bounds keep the
/// time between two calls under a millisecond on a plain machine.
class PollClock {
 public:
  static constexpr uint32_t kSteps = 4096;
  static constexpr size_t kBytes = size_t{1} << 18;

  explicit PollClock(Poll poll = nullptr) noexcept
      : poll_(poll),
        steps_left_(poll ? kSteps : UINT32_MAX),
        byte_mark_(poll ? kBytes : SIZE_MAX) {}

  /// Counts one step of a walk whose output is out_size bytes long so far.
  void tick(size_t out_size) {
    if (--steps_left_ == 0 || out_size >= byte_mark_) fire(out_size);
  }
  /// Counts one step of a walk that writes no output.
  void step() {
    if (--steps_left_ == 0) fire(0);
  }
  /// Notes output growth alone, for walks whose every step writes at least a byte.
  void grew(size_t out_size) {
    if (out_size >= byte_mark_) fire(out_size);
  }

 private:
  void fire(size_t out_size) {
    if (!poll_) {  // a walk without a poll only wraps its step count
      steps_left_ = UINT32_MAX;
      return;
    }
    steps_left_ = kSteps;
    byte_mark_ = out_size + kBytes;
    poll_();
  }

  Poll poll_;
  uint32_t steps_left_;
  size_t byte_mark_;
};

}  // namespace kovel
