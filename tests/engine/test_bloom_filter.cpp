#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>

#include "engine/support/bloom_filter.hpp"
#include "engine/support/errors.hpp"

using quorvane::support::BloomFilter;

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
