#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/support/errors.hpp"
#include "engine/support/interruption.hpp"
#include "engine/support/time_limit.hpp"

namespace {

struct Interrupted {};
int g_interrupt_checks = 0;
void count_interrupt_check() { ++g_interrupt_checks; }
void throw_interrupt_check() { throw Interrupted{}; }

// Installs a check for the length of one test, and puts none back after it.
struct InstalledCheck {
    explicit InstalledCheck(quorvane::support::InterruptCheck check) {
        g_interrupt_checks = 0;
        quorvane::support::install_interrupt_check(check);
    }
    ~InstalledCheck() { quorvane::support::install_interrupt_check(nullptr); }
};

void wait_past_one_interval() {
    std::this_thread::sleep_for(std::chrono::nanoseconds(quorvane::support::InterruptPoll::kIntervalNs) +
                                std::chrono::milliseconds(10));
}

}  // namespace

TEST(InterruptPoll, AsksOncePerIntervalAndNotAtOnce) {
    InstalledCheck installed(count_interrupt_check);
    quorvane::support::InterruptPoll poll;
    for (int i = 0; i < 1000; ++i) poll.poll();
    EXPECT_EQ(g_interrupt_checks, 0) << "a short call never asks";
    wait_past_one_interval();
    for (int i = 0; i < 1000; ++i) poll.poll();
    EXPECT_EQ(g_interrupt_checks, 1);
}

TEST(InterruptPoll, WhatTheCheckThrowsEndsTheWork) {
    InstalledCheck installed(throw_interrupt_check);
    quorvane::support::InterruptPoll poll;
    wait_past_one_interval();
    EXPECT_THROW(poll.poll(), Interrupted);
    // The check is asked again one interval later, not at every poll.
    EXPECT_NO_THROW(poll.poll());
}

TEST(InterruptPoll, TheTimeLimitAsksItBeforeItsOwnTimeout) {
    InstalledCheck installed(throw_interrupt_check);
    const auto start = quorvane::TimeLimit::Clock::now();
    const quorvane::TimeLimit limit(0.5f, start);
    EXPECT_NO_THROW(limit.check_at(start));
    // Past the time-out, an interrupt that came meanwhile is what the caller gets.
    EXPECT_THROW(limit.check_at(start + std::chrono::seconds(1)), Interrupted);
    quorvane::support::install_interrupt_check(nullptr);
    EXPECT_THROW(limit.check_at(start + std::chrono::seconds(1)), quorvane::Error);
}
