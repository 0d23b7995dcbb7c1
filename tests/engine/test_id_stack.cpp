#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "engine/support/id_stack.hpp"

using quorvane::support::IdStack;

TEST(IdStack, KeepsItsContentsInOrderAcrossGrowthAndPopsLastInFirstOut) {
    IdStack s;
    EXPECT_TRUE(s.empty());
    for (std::uint32_t i = 0; i < 1000; ++i) s.push(i * 3);
    ASSERT_EQ(s.size(), 1000u);
    EXPECT_EQ(std::vector<std::uint32_t>(s.begin(), s.end())[999], 2997u);
    for (std::uint32_t i = 0; i < 1000; ++i) EXPECT_EQ(s[i], i * 3);
    for (std::uint32_t i = 1000; i-- > 500;) EXPECT_EQ(s.pop(), i * 3);
    EXPECT_EQ(s.size(), 500u);
    s.push(7);
    EXPECT_EQ(s[500], 7u);
    EXPECT_EQ(s.pop(), 7u);
    EXPECT_EQ(s.pop(), 499u * 3);
}

TEST(IdStack, ClearEmptiesButKeepsTheRoom) {
    IdStack s;
    for (std::uint32_t i = 0; i < 300; ++i) s.push(i);
    const std::uint32_t* room = s.begin();
    s.clear();
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.begin(), s.end());
    for (std::uint32_t i = 0; i < 300; ++i) s.push(1000 + i);
    // Refilling up to the size it had reused the same storage.
    EXPECT_EQ(s.begin(), room);
    EXPECT_EQ(s.size(), 300u);
    EXPECT_EQ(s[0], 1000u);
    EXPECT_EQ(s.pop(), 1299u);
}
