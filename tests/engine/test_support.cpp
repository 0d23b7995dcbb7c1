#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "engine/support/bloom_filter.hpp"
#include "engine/support/time_limit.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/interruption.hpp"
#include "engine/support/minmax_heap.hpp"

using quorvane::support::BloomFilter;
using quorvane::support::FxHash;
using quorvane::support::FxHasher;
using quorvane::support::FxMap;
using quorvane::support::FxSet;
using quorvane::support::MinMaxHeap;

namespace {

// A key type hashed through its own hash_into, as the engine's node and action types are.
struct Point {
    std::int64_t x, y;
    friend bool operator==(const Point&, const Point&) = default;
    void hash_into(FxHasher& h) const noexcept {
        h.add(static_cast<std::uint64_t>(x));
        h.add(static_cast<std::uint64_t>(y));
    }
};

}  // namespace

// --- Fx hash ---------------------------------------------------------------------------

TEST(FxHasher, KnownValues) {
    struct Case {
        std::vector<std::uint64_t> words;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {{}, 0},
        {{0}, 0},
        {{1}, 0x517cc1b727220a95ULL},
        {{1, 2}, 0x6a4be67ff98fabc8ULL},
        {{0xffffffffffffffffULL, 0x0123456789abcdefULL, 42}, 0x38609e0222265a9bULL},
    };
    for (const Case& c : cases) {
        FxHasher h;
        for (std::uint64_t w : c.words) h.add(w);
        EXPECT_EQ(h.finish(), c.expected) << c.words.size() << " words";
    }
}

TEST(FxHasher, BytesAreLittleEndianWordsWithAZeroPaddedTail) {
    const char text[] = "quorvane!!";  // one full word and a two-byte tail
    FxHasher bytes;
    bytes.add_bytes(text, std::strlen(text));
    EXPECT_EQ(bytes.finish(), 0xca7588ca5c33f578ULL);

    FxHasher nothing;
    nothing.add_bytes(text, 0);
    EXPECT_EQ(nothing.finish(), 0u);
}

TEST(FxHash, DoesNotClaimToAvalanche) {
    // Multiplication only carries upwards: keys that agree in their low bits hash alike
    // there, so the tables must post-mix.
    for (std::uint64_t k = 0; k < 100; ++k) EXPECT_EQ(FxHash<std::uint64_t>{}(k << 10) & 1023u, 0u);
    EXPECT_FALSE(boost::unordered::hash_is_avalanching<FxHash<std::uint64_t>>::value);
}

TEST(FxHash, ServesMapsAndSetsOfIntegersAndHashIntoTypes) {
    FxMap<Point, int> map;
    FxSet<std::uint32_t> set;
    // Strided keys: the pattern a weak hash without post-mixing would crowd into few groups.
    for (int i = 0; i < 20000; ++i) {
        map.emplace(Point{i * 4096, -i}, i);
        set.insert(static_cast<std::uint32_t>(i) << 12);
    }
    ASSERT_EQ(map.size(), 20000u);
    ASSERT_EQ(set.size(), 20000u);
    for (int i = 0; i < 20000; ++i) {
        auto it = map.find(Point{i * 4096, -i});
        ASSERT_NE(it, map.end());
        EXPECT_EQ(it->second, i);
        EXPECT_TRUE(set.contains(static_cast<std::uint32_t>(i) << 12));
    }
    EXPECT_FALSE(map.contains(Point{4096, 1}));
    EXPECT_EQ(FxHash<Point>{}(Point{3, 4}), FxHash<Point>{}(Point{3, 4}));
    EXPECT_NE(FxHash<Point>{}(Point{3, 4}), FxHash<Point>{}(Point{4, 3}));
}

// --- min-max heap ------------------------------------------------------------------------

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

// --- Bloom filter ------------------------------------------------------------------------

TEST(BloomFilter, SizesFromRateAndCount) {
    BloomFilter f(0.0001, 20'000'000);
    // m = -n ln p / ln(2)^2 and k = m/n ln 2.
    EXPECT_NEAR(static_cast<double>(f.bit_count()), 383'402'336.0, 2.0);
    EXPECT_EQ(f.hash_count(), 13u);
}

TEST(BloomFilter, NoFalseNegativesAndFewFalsePositives) {
    BloomFilter f(0.01, 100'000, 42);
    for (std::uint64_t k = 0; k < 100'000; ++k) f.check_and_set(k * 7919);
    for (std::uint64_t k = 0; k < 100'000; ++k) ASSERT_TRUE(f.check_and_set(k * 7919)) << k;
    // Probing inserts too, so probe few keys: the filter stays near its planned load.
    int false_positives = 0;
    for (std::uint64_t k = 0; k < 5000; ++k) false_positives += f.check_and_set(1'000'000'007ULL + k * 104729);
    EXPECT_LT(false_positives, 100);  // about 1% expected
}

// Which keys a false positive hits depends on the seed, so it differs from one search
// to the next.
TEST(BloomFilter, FiltersDrawTheirOwnSeeds) {
    BloomFilter a(0.01, 1000), b(0.01, 1000);
    EXPECT_NE(a.seed(), b.seed());

    auto false_positives = [](std::uint64_t seed) {
        // Probes insert too: few enough of them keep the filter near its planned load.
        BloomFilter f(0.01, 10'000, seed);
        for (std::uint64_t k = 0; k < 10'000; ++k) f.check_and_set(k);
        std::set<std::uint64_t> hits;
        for (std::uint64_t k = 1'000'000; k < 1'002'000; ++k)
            if (f.check_and_set(k)) hits.insert(k);
        return hits;
    };
    auto first = false_positives(1), again = false_positives(1), other = false_positives(2);
    ASSERT_GE(first.size(), 10u);
    EXPECT_EQ(first, again);
    std::size_t common = 0;
    for (std::uint64_t k : other) common += first.count(k);
    EXPECT_LT(common * 4, first.size());
}

TEST(BloomFilter, RejectsUnusableParameters) {
    struct Case {
        double rate;
        std::uint64_t items;
    };
    const Case cases[] = {
        {0.0, 100},
        {1.0, 100},
        {-0.5, 100},
        {std::nan(""), 100},
        {0.01, 0},
        {1e-300, std::numeric_limits<std::uint64_t>::max()},
    };
    for (const Case& c : cases)
        EXPECT_THROW(BloomFilter(c.rate, c.items, 7), quorvane::InternalError) << c.rate << " " << c.items;
}

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
