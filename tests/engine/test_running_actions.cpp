// The running actions keep exactly the contents and the walking order of a shared
// RunningMap put through the same changes: the order of a state's todo, and of the
// constraints a step posts, follows it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/state/running_actions.hpp"
#include "engine/state/shared_maps.hpp"

namespace quorvane {
namespace {

// What the running actions were before: a RunningMap shared until changed.
using OldRunning = state_detail::SharedMap<RunningMap>;
using Walk = std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>>;

template <class M>
Walk walk(const M& m) {
    Walk out;
    for (const auto& [a, e] : m) out.emplace_back(a.idx, e.next_event, e.instance);
    return out;
}

// Handles of both kinds, changed alike: copies share, a change copies a shared map.
struct Twins {
    std::vector<RunningActions> now;
    std::vector<OldRunning> old;

    void check(const char* what, int step) const {
        for (std::size_t h = 0; h < now.size(); ++h) {
            ASSERT_EQ(walk(now[h]), walk(old[h])) << what << " at step " << step << ", handle " << h;
            ASSERT_EQ(now[h].size(), old[h].size());
            ASSERT_EQ(now[h].empty(), old[h].empty());
        }
    }
};

struct Mix {
    const char* name;
    std::uint64_t keys;  // actions 0 .. keys-1, and as many far beyond 2^32
    int max_reserve;
};

class RunningActionsOrder : public ::testing::TestWithParam<Mix> {};

TEST_P(RunningActionsOrder, FollowsTheSharedTableThroughRandomChanges) {
    const Mix mix = GetParam();
    std::mt19937_64 rng(0x5eed + mix.keys);
    Twins t;
    t.now.resize(4);
    t.old.resize(4);
    auto key = [&] {
        const std::uint64_t k = rng() % (2 * mix.keys);
        return Action{k < mix.keys ? k : (std::uint64_t{1} << 40) + k * 7919};
    };
    for (int step = 0; step < 20000; ++step) {
        const std::size_t h = rng() % t.now.size();
        const Action a = key();
        const RunningEntry e{rng() % 9, static_cast<std::uint32_t>(rng() % 1000)};
        switch (rng() % 16) {
            case 0: case 1: case 2: case 3: case 4:
                t.now[h].insert_or_assign(a, e);
                t.old[h].insert_or_assign(a, e);
                break;
            case 5: case 6: case 7: case 8:
                ASSERT_EQ(t.now[h].erase(a), t.old[h].erase(a));
                break;
            case 9:
                t.now[h][a] = e;
                t.old[h][a] = e;
                break;
            case 10: case 11: case 12: {  // share with another handle
                const std::size_t g = rng() % t.now.size();
                t.now[g] = t.now[h];
                t.old[g] = t.old[h];
                ASSERT_TRUE(t.now[g].shares(t.now[h]));
                break;
            }
            case 13:
                if (rng() % 8 == 0) {
                    t.now[h].clear();
                    t.old[h].clear();
                }
                break;
            case 14:
                if (mix.max_reserve > 0 && rng() % 16 == 0) {
                    const std::size_t n = rng() % mix.max_reserve;
                    t.now[h].reserve(n);
                    t.old[h].reserve(n);
                }
                break;
            default: {
                auto found = t.now[h].find(a);
                auto was = t.old[h].find(a);
                ASSERT_EQ(found == t.now[h].end(), was == t.old[h].end());
                if (found != t.now[h].end()) EXPECT_EQ(found->second.instance, was->second.instance);
                ASSERT_EQ(t.now[h].contains(a), t.old[h].contains(a));
            }
        }
        t.check(mix.name, step);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Mixes, RunningActionsOrder,
                         ::testing::Values(Mix{"a few actions", 4, 0}, Mix{"up to a dozen", 7, 0},
                                           Mix{"around the block's limit", 9, 0},
                                           Mix{"many, tables grow and shrink", 40, 0},
                                           Mix{"room reserved", 12, 80}),
                         [](const auto& info) { return std::string("mix") + std::to_string(info.index); });

TEST(RunningActions, ChildrenOfOneParentDoNotChangeIt) {
    RunningActions parent;
    for (std::uint64_t k = 0; k < 5; ++k) parent.insert_or_assign(Action{k}, RunningEntry{1, 0});
    const Walk before = walk(parent);
    RunningActions child = parent;
    child.erase(Action{2});
    child.insert_or_assign(Action{9}, RunningEntry{2, 3});
    child.insert_or_assign(Action{0}, RunningEntry{4, 4});
    EXPECT_EQ(walk(parent), before);
    EXPECT_FALSE(child.contains(Action{2}));
    EXPECT_EQ(child.at(Action{0}).next_event, 4u);
    EXPECT_THROW((void)parent.at(Action{9}), std::out_of_range);
    EXPECT_TRUE(same_running(parent, RunningActions(parent)));
    EXPECT_FALSE(same_running(parent, child));
}

// A map assigned to itself keeps what it holds (and lets go of nothing twice).
TEST(RunningActions, AssignedToItselfKeepsItsActions) {
    RunningActions running;
    running.insert_or_assign(Action{3}, RunningEntry{1, 7});
    const RunningActions& same = running;
    running = same;
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running.at(Action{3}).instance, 7u);
    ActiveConditions conditions;
    conditions.add(ConditionRef(FlatExpr(1, ExpressionNode::boolean(true))));
    const ActiveConditions& also = conditions;
    conditions = also;
    EXPECT_EQ(conditions.size(), 1u);
}

}  // namespace
}  // namespace quorvane
