#pragma once
// Ctrl-C during a long computation. The interpreter's C-level handler only notes a signal;
// its Python handler (KeyboardInterrupt for SIGINT) runs when someone asks, and nothing asks
// while the engine computes. Long loops therefore run the handlers themselves, about once a
// millisecond, and stop with what a handler raised.

#include <cstdint>

#include "core/errors.h"
#include "core/result.h"

namespace kestro {

/// Runs the handlers of the signals that arrived (the calling thread holds the interpreter
/// lock; only the main thread runs them, elsewhere this does nothing). The exception a handler
/// raised comes back as Interrupted.
Result<void, Interrupted> check_signals();

/// Paces the signal checks of one loop by the work done rather than by the steps taken, so
/// that a loop of cheap steps does not pay for a check per step and a loop of costly ones
/// still answers Ctrl-C within milliseconds. Each step tells its cost in estimated
/// nanoseconds; estimates may err high (the check costs some tens of nanoseconds) but should
/// not err low.
class SignalPacer {
 public:
  static constexpr uint64_t kIntervalNs = 1'000'000;

  Result<void, Interrupted> step(uint64_t work_ns) {
    pending_ns_ += work_ns;
    if (pending_ns_ < kIntervalNs) [[likely]] return {};
    pending_ns_ = 0;
    return check_signals();
  }

 private:
  uint64_t pending_ns_ = 0;
};

}  // namespace kestro
