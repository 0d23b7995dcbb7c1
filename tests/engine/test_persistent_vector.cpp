#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/support/persistent_vector.hpp"

using quorvane::support::PersistentVector;

namespace {

std::vector<std::string> numbers(std::size_t n) {
    std::vector<std::string> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back(std::to_string(i));
    return v;
}

template <class V>
std::vector<std::string> contents(const V& v) {
    return std::vector<std::string>(v.begin(), v.end());
}

}  // namespace

class PersistentVectorSizes : public ::testing::TestWithParam<std::size_t> {};

// Sizes around the leaf width and the level boundaries, where the trie changes shape.
INSTANTIATE_TEST_SUITE_P(Shapes, PersistentVectorSizes,
                         ::testing::Values(0, 1, 31, 32, 33, 1023, 1024, 1025, 32 * 32 * 32 + 5));

TEST_P(PersistentVectorSizes, BulkBuildAndPushBackAgree) {
    auto expected = numbers(GetParam());
    PersistentVector<std::string> bulk(expected);
    PersistentVector<std::string> pushed;
    for (const auto& s : expected) pushed.push_back(s);
    EXPECT_EQ(contents(bulk), expected);
    EXPECT_EQ(contents(pushed), expected);
    EXPECT_TRUE(bulk == pushed);
    for (std::size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(bulk[i], expected[i]);
}

TEST_P(PersistentVectorSizes, UpdatesNeverReachOtherVectors) {
    std::size_t n = GetParam();
    if (n == 0) return;
    auto expected = numbers(n);
    PersistentVector<std::string> original(expected);
    std::mt19937 rng(7);
    PersistentVector<std::string> current = original;
    std::vector<std::string> model = expected;
    std::vector<std::pair<PersistentVector<std::string>, std::vector<std::string>>> snapshots;
    for (int step = 0; step < 200; ++step) {
        std::size_t i = rng() % n;
        std::string value = "x" + std::to_string(step);
        if (step % 2) current.set_in_place(i, value);
        else current = current.set(i, value);
        model[i] = value;
        if (step % 37 == 0) snapshots.emplace_back(current, model);
    }
    EXPECT_EQ(contents(current), model);
    EXPECT_EQ(contents(original), expected);
    for (const auto& [vec, mod] : snapshots) EXPECT_EQ(contents(vec), mod);
}

TEST(PersistentVector, UpdateCopiesOnlyThePathToTheElement) {
    PersistentVector<std::string> a(numbers(2000));
    PersistentVector<std::string> b = a.set(1500, "changed");
    EXPECT_FALSE(a.shares_leaf_with(b, 1500));
    EXPECT_TRUE(a.shares_leaf_with(b, 0));
    EXPECT_TRUE(a.shares_leaf_with(b, 1499 - 1499 % 32 - 1));
    EXPECT_EQ(a[1500], "1500");
    EXPECT_EQ(b[1500], "changed");
}

TEST(PersistentVector, EqualityComparesValuesNotStructure) {
    PersistentVector<std::string> a(numbers(100));
    PersistentVector<std::string> b(numbers(100));
    EXPECT_TRUE(a == b);
    auto c = a.set(99, "z");
    EXPECT_FALSE(a == c);
    EXPECT_TRUE(c.set(99, "99") == a);
    EXPECT_FALSE(a == PersistentVector<std::string>(numbers(99)));
}

TEST(PersistentVector, AtChecksTheRange) {
    PersistentVector<std::string> a(numbers(3));
    EXPECT_THROW(a.at(3), quorvane::InternalError);
    EXPECT_THROW(a.set_in_place(3, "x"), quorvane::InternalError);
}
