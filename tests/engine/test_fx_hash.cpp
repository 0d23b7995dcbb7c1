#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/support/fx_hash.hpp"

using quorvane::support::FxHash;
using quorvane::support::FxHasher;
using quorvane::support::FxMap;
using quorvane::support::FxSet;

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
