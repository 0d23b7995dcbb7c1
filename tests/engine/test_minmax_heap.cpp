#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/support/minmax_heap.hpp"

using quorvane::support::MinMaxHeap;

// Random pushes and removals at both ends, checked against a sorted multiset.
TEST(MinMaxHeap, AgreesWithASortedMultiset) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        std::mt19937 rng(seed);
        MinMaxHeap<int> heap(16);
        std::multiset<int> model;
        for (int step = 0; step < 3000; ++step) {
            int op = static_cast<int>(rng() % 5);
            if (model.empty() || op <= 1) {
                int v = static_cast<int>(rng() % 100);
                heap.push(v);
                model.insert(v);
            } else if (op == 2) {
                ASSERT_EQ(heap.pop_min(), *model.begin());
                model.erase(model.begin());
            } else if (op == 3) {
                ASSERT_EQ(heap.pop_max(), *model.rbegin());
                model.erase(std::prev(model.end()));
            } else {
                int v = static_cast<int>(rng() % 100);
                ASSERT_EQ(heap.replace_min(v), *model.begin());
                model.erase(model.begin());
                model.insert(v);
            }
            ASSERT_EQ(heap.size(), model.size());
            if (!model.empty()) {
                ASSERT_EQ(heap.min(), *model.begin()) << "seed " << seed << " step " << step;
                ASSERT_EQ(heap.max(), *model.rbegin()) << "seed " << seed << " step " << step;
            }
        }
    }
}

// The bounded queue's use: keep the best items by replacing the worst; the items are
// held by value and may be move-only.
TEST(MinMaxHeap, KeepsTheLargestItemsOfAStreamOfMoveOnlyItems) {
    auto less = [](const std::unique_ptr<int>& a, const std::unique_ptr<int>& b) { return *a < *b; };
    MinMaxHeap<std::unique_ptr<int>, decltype(less)> heap(10, less);
    std::mt19937 rng(3);
    std::vector<int> all;
    for (int i = 0; i < 1000; ++i) {
        int v = static_cast<int>(rng() % 10000);
        all.push_back(v);
        if (heap.size() < 10) heap.push(std::make_unique<int>(v));
        else if (v > *heap.min()) heap.replace_min(std::make_unique<int>(v));
    }
    std::sort(all.rbegin(), all.rend());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(*heap.pop_max(), all[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(heap.empty());
}

TEST(MinMaxHeap, EmptyAccessIsAnError) {
    MinMaxHeap<int> heap;
    EXPECT_THROW(heap.min(), quorvane::InternalError);
    EXPECT_THROW(heap.max(), quorvane::InternalError);
    EXPECT_THROW(heap.pop_min(), quorvane::InternalError);
    EXPECT_THROW(heap.pop_max(), quorvane::InternalError);
    EXPECT_THROW(heap.replace_min(1), quorvane::InternalError);
}
