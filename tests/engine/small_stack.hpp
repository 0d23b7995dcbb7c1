// Runs a test body on a thread with a small stack, so that a release that recursed once
// per node would overflow it instead of passing unnoticed.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

namespace quorvane::test_support {

inline void run_on_small_stack(const std::function<void()>& body) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);  // a recursive release of long lists needs far more
    pthread_t thread;
    auto trampoline = [](void* arg) -> void* {
        (*static_cast<const std::function<void()>*>(arg))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attr, trampoline, const_cast<std::function<void()>*>(&body)), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

}  // namespace quorvane::test_support
