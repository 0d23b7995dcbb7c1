// The time limit of one search call, readable by everything that runs inside the
// search (the heuristics check it during long evaluations).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "engine/support/interruption.hpp"

namespace quorvane {

// Elapsed seconds as whole seconds in a 32-bit float plus the nanosecond remainder in
// a 32-bit float divided by 1e9, all in 32-bit arithmetic.
float elapsed_seconds_f32(std::uint64_t whole_seconds, std::uint32_t nanoseconds) noexcept;
// Strictly greater than the limit; a NaN limit is never exceeded.
inline bool exceeds(float elapsed, float limit) noexcept { return elapsed > limit; }

class TimeLimit {
  public:
    using Clock = std::chrono::system_clock;
    using TimeSource = Clock::time_point (*)();

    // Reads the wall clock: the origin of the time-out.
    explicit TimeLimit(std::optional<float> timeout) : timeout_(timeout), start_(now()) {}
    TimeLimit(std::optional<float> timeout, Clock::time_point start) : timeout_(timeout), start_(start) {}

    // Asks the host whether to stop (see support::InterruptPoll), then throws
    // TimeoutError "Timeout" once past the limit. A clock that reads earlier than the
    // start time is a broken invariant.
    void check() const {
        poll_.poll();
        if (timeout_) check_at(now());
    }
    void check_at(Clock::time_point now) const;
    // Asks the host whether to stop, leaving the time-out alone: for long work between
    // two checks of the limit.
    void poll_interrupts() const { poll_.poll(); }

    // The time the searches read: the wall clock, unless a test has put a clock of its
    // own in its place (null puts the wall clock back), so that what a test sees does
    // not depend on how fast the machine runs it.
    static Clock::time_point now() {
        TimeSource source = time_source_.load(std::memory_order_acquire);
        return source ? source() : Clock::now();
    }
    static void set_time_source_for_testing(TimeSource source) noexcept {
        time_source_.store(source, std::memory_order_release);
    }

  private:
    std::optional<float> timeout_;
    Clock::time_point start_;
    // One limit serves one call on one thread; polling changes nothing else about it.
    mutable support::InterruptPoll poll_;
    static inline std::atomic<TimeSource> time_source_{nullptr};
};

}  // namespace quorvane
