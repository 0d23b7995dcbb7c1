// The persistent array of a search network's points: growth over the trie's levels, and
// copies that share nodes but never see each other's changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/temporal/cell_table.hpp"

namespace {

using quorvane::search_network_detail::CellTable;
using quorvane::search_network_detail::PointSlot;

PointSlot slot_for(std::uint32_t i, double offset = 0.0) {
    return PointSlot{static_cast<double>(i) + offset, std::uintptr_t{2} * i + 1};
}

CellTable table_of(std::uint32_t n) {
    CellTable t;
    for (std::uint32_t i = 0; i < n; ++i) t.push_back(slot_for(i));
    return t;
}

// Every slot of `t` as `slot_for(i)` made it, except those listed with their offset.
void expect_slots(const CellTable& t, std::uint32_t n, const std::vector<std::pair<std::uint32_t, double>>& changed = {}) {
    ASSERT_EQ(t.size(), n);
    for (std::uint32_t i = 0; i < n; ++i) {
        double offset = 0.0;
        for (const auto& [at, by] : changed)
            if (at == i) offset = by;
        const PointSlot want = slot_for(i, offset);
        EXPECT_EQ(t.get(i).potential, want.potential) << "slot " << i;
        EXPECT_EQ(t.get(i).info, want.info) << "slot " << i;
    }
}

// Sizes on both sides of each level boundary: 8 slots per leaf, 8 children per node.
class CellTableSizes : public ::testing::TestWithParam<std::uint32_t> {};

INSTANTIATE_TEST_SUITE_P(AcrossLevels, CellTableSizes, ::testing::Values(1u, 8u, 9u, 64u, 65u, 512u, 513u, 4097u));

TEST_P(CellTableSizes, KeepsEverySlotAsTheTrieGrows) {
    const std::uint32_t n = GetParam();
    expect_slots(table_of(n), n);
}

TEST_P(CellTableSizes, CopiesNeverSeeEachOthersChanges) {
    const std::uint32_t n = GetParam();
    const CellTable original = table_of(n);
    CellTable copy = original;
    std::vector<std::pair<std::uint32_t, double>> changed;
    for (std::uint32_t at : {0u, 7u, 8u, 63u, 64u, 511u, 512u, n - 1})
        if (at < n && (changed.empty() || changed.back().first < at)) changed.emplace_back(at, 0.5);
    for (const auto& [at, by] : changed) copy.mut(at).potential += by;
    copy.push_back(slot_for(n));

    expect_slots(original, n);
    expect_slots(copy, n + 1, changed);

    // The original, changed now that it shares with the copy, leaves the copy alone too.
    CellTable again = original;
    again.mut(n - 1).potential += 0.25;
    expect_slots(original, n);
    expect_slots(again, n, {{n - 1, 0.25}});
    expect_slots(copy, n + 1, changed);

    // The table a table is moved to goes on as the source was.
    CellTable moved = std::move(again);
    expect_slots(moved, n, {{n - 1, 0.25}});
}

}  // namespace
