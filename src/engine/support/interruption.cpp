#include "engine/support/interruption.hpp"

#include <atomic>
#include <chrono>
#include <ctime>

namespace quorvane::support {

namespace {
std::atomic<InterruptCheck> installed{nullptr};
}  // namespace

void install_interrupt_check(InterruptCheck check) noexcept { installed.store(check, std::memory_order_release); }

void check_interrupts() {
    if (InterruptCheck check = installed.load(std::memory_order_acquire)) check();
}

std::int64_t coarse_clock_ns() noexcept {
#if defined(CLOCK_MONOTONIC_COARSE)
    timespec ts{};
    if (::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0)
        return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
#endif
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void InterruptPoll::due() {
    // The next interval starts now, before the check runs: a check that throws leaves
    // a poll that asks again one interval later, if its call goes on at all.
    next_ = coarse_clock_ns() + kIntervalNs;
    check_interrupts();
}

}  // namespace quorvane::support
