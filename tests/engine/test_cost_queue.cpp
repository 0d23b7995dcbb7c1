#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "engine/support/cost_queue.hpp"

using quorvane::support::CostQueue;

namespace {

std::vector<std::pair<double, std::uint32_t>> drain(CostQueue& q) {
    std::vector<std::pair<double, std::uint32_t>> out;
    double key;
    std::uint32_t id;
    while (q.pop(key, id)) out.emplace_back(key, id);
    return out;
}

}  // namespace

TEST(CostQueue, MixesBucketAndHeapCostsInCostOrder) {
    // Integral costs below the bucket count go to buckets; fractions and large costs to
    // the heap. A heap entry leaves first only when it is strictly cheaper.
    CostQueue q;
    const double large = static_cast<double>(CostQueue::kBuckets);
    q.push(3.0, 1);
    q.push(2.5, 2);
    q.push(large + 1.0, 3);
    q.push(0.0, 4);
    q.push(large - 1.0, 5);
    q.push(large, 6);
    q.push(2.0, 7);
    q.push(0.25, 8);
    const std::vector<std::pair<double, std::uint32_t>> expected{
        {0.0, 4}, {0.25, 8}, {2.0, 7}, {2.5, 2}, {3.0, 1}, {large - 1.0, 5}, {large, 6}, {large + 1.0, 3}};
    EXPECT_EQ(drain(q), expected);
}

TEST(CostQueue, EqualIntegralCostsLeaveLastInFirstOut) {
    // The propagation settles equal costs in this order; it must not change.
    CostQueue q;
    q.push(5.0, 10);
    q.push(5.0, 11);
    q.push(1.0, 20);
    q.push(5.0, 12);
    q.push(1.0, 21);
    const std::vector<std::pair<double, std::uint32_t>> expected{{1.0, 21}, {1.0, 20}, {5.0, 12}, {5.0, 11}, {5.0, 10}};
    EXPECT_EQ(drain(q), expected);
}

TEST(CostQueue, EntriesPushedWhileDrainingAndAfterClearKeepTheOrder) {
    CostQueue q;
    q.push(4.0, 1);
    q.push(6.0, 2);
    double key;
    std::uint32_t id;
    ASSERT_TRUE(q.pop(key, id));
    EXPECT_EQ(std::make_pair(key, id), std::make_pair(4.0, 1u));
    // Below, at and above the cost that just left, as a stale or a new offer.
    q.push(4.0, 3);
    q.push(1.0, 4);
    q.push(4.5, 5);
    const std::vector<std::pair<double, std::uint32_t>> expected{{1.0, 4}, {4.0, 3}, {4.5, 5}, {6.0, 2}};
    EXPECT_EQ(drain(q), expected);
    EXPECT_FALSE(q.pop(key, id));

    q.push(9.0, 6);
    q.push(9.5, 7);
    q.push(3000.0, 8);
    q.clear();
    EXPECT_FALSE(q.pop(key, id));
    q.push(2.0, 9);
    q.push(0.5, 10);
    const std::vector<std::pair<double, std::uint32_t>> after_clear{{0.5, 10}, {2.0, 9}};
    EXPECT_EQ(drain(q), after_clear);
}

TEST(CostQueue, AlwaysYieldsTheCheapestEntryOfARandomStream) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 20; ++round) {
        CostQueue q;
        std::multiset<double> held;
        std::map<std::uint32_t, double> key_of;
        std::uint32_t next = 0;
        for (int step = 0; step < 2000; ++step) {
            if (held.empty() || rng() % 3 != 0) {
                double key;
                switch (rng() % 3) {
                    case 0: key = static_cast<double>(rng() % 16); break;  // many ties
                    case 1: key = static_cast<double>(rng() % 5000); break;  // on both sides of the buckets
                    default: key = static_cast<double>(rng() % 8000) / 4.0; break;
                }
                q.push(key, next);
                key_of[next++] = key;
                held.insert(key);
            } else {
                double key;
                std::uint32_t id;
                ASSERT_TRUE(q.pop(key, id));
                ASSERT_EQ(key, *held.begin());
                ASSERT_EQ(key_of.at(id), key);
                key_of.erase(id);
                held.erase(held.begin());
            }
        }
        for (const auto& [key, id] : drain(q)) {
            ASSERT_EQ(key, *held.begin());
            ASSERT_EQ(key_of.at(id), key);
            key_of.erase(id);
            held.erase(held.begin());
        }
        EXPECT_TRUE(held.empty());
    }
}
