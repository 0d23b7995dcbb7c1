// Stopping long engine work from outside. The host (the Python layer) installs one
// process-wide check that decides whether the running call should end; the engine
// asks it now and then from its long loops, through an InterruptPoll. The check ends
// the call by throwing whatever the host wants to surface, and returns when the work
// may go on.
#pragma once

#include <cstdint>

namespace quorvane::support {

using InterruptCheck = void (*)();

// Installs `check` (null: none) for the whole process.
void install_interrupt_check(InterruptCheck check) noexcept;

// Asks the installed check at once, if there is one.
void check_interrupts();

// Monotonic nanoseconds from a clock that is cheap to read (a few nanoseconds) and
// coarse (a few milliseconds): good enough to pace the polls.
std::int64_t coarse_clock_ns() noexcept;

// Asks the installed check at most once per interval, so that it can be called per
// expanded or evaluated state. The first question comes one interval after the poll
// was made: a short call never asks. One poll belongs to one call on one thread.
class InterruptPoll {
  public:
    static constexpr std::int64_t kIntervalNs = 20'000'000;  // 20 ms

    InterruptPoll() noexcept : next_(coarse_clock_ns() + kIntervalNs) {}

    void poll() {
        if (coarse_clock_ns() >= next_) [[unlikely]]
            due();
    }

  private:
    void due();
    std::int64_t next_;
};

}  // namespace quorvane::support
