// The persistent list that holds a state's path.
#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/support/persistent_list.hpp"

namespace {

using namespace quorvane;

// ---------------------------------------------------------------------------
// Persistent path
// ---------------------------------------------------------------------------

std::vector<int> entries(const PersistentList<int>& l) {
    std::vector<int> out;
    for (int v : l.iter_rev()) out.push_back(v);
    return out;
}

TEST(PersistentList, AppendSharesTheTail) {
    PersistentList<int> empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(entries(empty).empty());
    auto one = empty.append(1);
    auto two = one.append(2);
    auto three = two.append(3);
    auto sibling = two.append(4);
    EXPECT_EQ(entries(three), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(entries(sibling), (std::vector<int>{4, 2, 1}));
    EXPECT_EQ(entries(two), (std::vector<int>{2, 1}));
    // Both lists go on in the very entries of `two`, not in copies of them.
    EXPECT_EQ(&*std::next(three.iter_rev().begin()), &*two.iter_rev().begin());
    EXPECT_EQ(&*std::next(sibling.iter_rev().begin()), &*two.iter_rev().begin());
    EXPECT_TRUE(empty.empty());
    EXPECT_THROW(empty.front(), InternalError);
}

TEST(PersistentList, LongListIsReleasedWithoutDeepRecursion) {
    PersistentList<int> l;
    for (int i = 0; i < 1'000'000; ++i) l = l.append(i);
    EXPECT_EQ(l.front(), 999'999);
}

}  // namespace
