#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "engine/support/background_release.hpp"

namespace {

using quorvane::support::Garbage;
using quorvane::support::release_in_background;
using quorvane::support::wait_for_background_release;

// Records where and in which order it was freed.
struct Marked : Garbage {
    std::vector<int>* order;
    int mark;
    std::thread::id* freed_on;
    Marked(std::vector<int>* o, int m, std::thread::id* t) : order(o), mark(m), freed_on(t) {}
    ~Marked() override {
        order->push_back(mark);
        if (freed_on) *freed_on = std::this_thread::get_id();
    }
};

TEST(BackgroundRelease, FreesOnAnotherThreadInTheOrderReceived) {
    std::vector<int> order;
    std::thread::id freed_on;
    for (int i = 0; i < 100; ++i)
        release_in_background(std::make_unique<Marked>(&order, i, i == 0 ? &freed_on : nullptr));
    wait_for_background_release();
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_NE(freed_on, std::this_thread::get_id());
}

TEST(BackgroundRelease, AForkedChildFreesWhatItHandsOver) {
    // Started in the parent first, so the child inherits a running release thread.
    std::vector<int> order;
    release_in_background(std::make_unique<Marked>(&order, 1, nullptr));
    wait_for_background_release();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::vector<int> mine;
        release_in_background(std::make_unique<Marked>(&mine, 7, nullptr));
        wait_for_background_release();
        _exit(mine == std::vector<int>{7} ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
