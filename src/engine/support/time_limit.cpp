#include "engine/support/time_limit.hpp"

#include "engine/support/errors.hpp"

namespace quorvane {

float elapsed_seconds_f32(std::uint64_t whole_seconds, std::uint32_t nanoseconds) noexcept {
    float seconds = static_cast<float>(whole_seconds);
    float fraction = static_cast<float>(nanoseconds) / 1'000'000'000.0f;
    return seconds + fraction;
}

void TimeLimit::check_at(Clock::time_point now) const {
    if (!timeout_) return;
    QV_REQUIRE(now >= start_, "the wall clock reads earlier than the start of the search");
    auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - start_).count();
    auto whole = static_cast<std::uint64_t>(elapsed / 1'000'000'000);
    auto nanos = static_cast<std::uint32_t>(elapsed % 1'000'000'000);
    if (exceeds(elapsed_seconds_f32(whole, nanos), *timeout_)) {
        // An interrupt that came in meanwhile wins over the time-out: it is what the
        // user asked for last.
        support::check_interrupts();
        raise(ErrorKind::TimeoutError, "Timeout");
    }
}

}  // namespace quorvane
