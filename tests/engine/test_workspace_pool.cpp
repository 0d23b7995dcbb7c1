#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/support/workspace_pool.hpp"

using quorvane::support::Lease;
using quorvane::support::WorkspacePool;

namespace {

std::atomic<int> made{0}, live{0};

struct Tables {
    Tables() {
        ++made;
        ++live;
    }
    ~Tables() { --live; }
    Tables(const Tables&) = delete;
    Tables& operator=(const Tables&) = delete;
    std::atomic<int> users{0};
    std::vector<int> data;
};

class WorkspacePoolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        made = 0;
        live = 0;
    }
};

}  // namespace

TEST_F(WorkspacePoolTest, GivenBackTablesAreTakenAgainBeforeNewOnesAreMade) {
    {
        WorkspacePool<Tables> pool;
        std::unique_ptr<Tables> a = pool.take(), b = pool.take();
        EXPECT_EQ(made, 2);
        a->data.assign(100, 1);
        Tables* const pa = a.get();
        Tables* const pb = b.get();
        pool.give(std::move(a));
        pool.give(std::move(b));
        std::unique_ptr<Tables> x = pool.take(), y = pool.take();
        EXPECT_EQ(made, 2);
        EXPECT_EQ((std::set<Tables*>{x.get(), y.get()}), (std::set<Tables*>{pa, pb}));
        // What the tables held stays with them.
        EXPECT_EQ((x.get() == pa ? x : y)->data.size(), 100u);
        std::unique_ptr<Tables> z = pool.take();
        EXPECT_EQ(made, 3);
        pool.give(std::move(x));
        pool.give(std::move(y));
        pool.give(std::move(z));
        EXPECT_EQ(live, 3);
    }
    // The pool deletes what it keeps.
    EXPECT_EQ(live, 0);
}

TEST_F(WorkspacePoolTest, ALeaseGivesItsTablesBackAlsoWhenItEndsInAnError) {
    WorkspacePool<Tables> pool;
    Tables* first = nullptr;
    try {
        Lease<Tables> lease(pool);
        first = &*lease;
        throw std::runtime_error("failed half way");
    } catch (const std::runtime_error&) {
    }
    Lease<Tables> again(pool);
    EXPECT_EQ(&*again, first);
    EXPECT_EQ(made, 1);
}

TEST_F(WorkspacePoolTest, KeepsABoundedNumberAndDropsTheRestWithoutLeaking) {
    {
        WorkspacePool<Tables> pool;
        std::vector<std::unique_ptr<Tables>> taken;
        for (int i = 0; i < 40; ++i) taken.push_back(pool.take());
        for (auto& t : taken) pool.give(std::move(t));
        const int kept = live;
        EXPECT_GT(kept, 0);
        EXPECT_LT(kept, 40);
        // Everything kept is handed out again before anything new is made.
        for (int i = 0; i < kept; ++i) taken[i] = pool.take();
        EXPECT_EQ(made, 40);
        taken[kept] = pool.take();
        EXPECT_EQ(made, 41);
        for (auto& t : taken) pool.give(std::move(t));
    }
    EXPECT_EQ(live, 0);
}

TEST_F(WorkspacePoolTest, ThreadsNeverShareTablesAndMostlyReuseThem) {
    constexpr int kThreads = 4;
    constexpr int kLeases = 20000;
    std::atomic<int> shared{0};
    {
        WorkspacePool<Tables> pool;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&pool, &shared, t] {
                for (int i = 0; i < kLeases; ++i) {
                    Lease<Tables> lease(pool);
                    Tables& w = *lease;
                    if (w.users.fetch_add(1) != 0) ++shared;
                    w.data.assign(4, t);
                    for (int v : w.data)
                        if (v != t) ++shared;
                    w.users.fetch_sub(1);
                }
            });
        for (auto& th : threads) th.join();
        EXPECT_EQ(shared, 0);
        EXPECT_LT(made, kThreads * kLeases / 100);
    }
    EXPECT_EQ(live, 0);
}
