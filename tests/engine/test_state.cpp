// The search state: copies, equality and hashing, running actions and open conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "node_builders.hpp"

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;

// ---------------------------------------------------------------------------
// Search state
// ---------------------------------------------------------------------------

StateBox make_state(std::vector<ExpressionNode> values) { return State::make(values); }

TEST(State, CloneForChildStartsWithAnEmptyCache) {
    auto parent = make_state({I(1), B(true)});
    parent->g = 2.5;
    parent->path = parent->path.append(PathEntry{Action{4}, 0, 7});
    parent->todo[Action{4}] = RunningEntry{1, 8};
    parent->heuristic_cache.put("hff", 3.0);
    parent->heuristic_cache.put("hmax", std::nullopt);

    auto child = parent->clone_for_child();
    EXPECT_EQ(child->heuristic_cache.size(), 0u);
    EXPECT_FALSE(child->heuristic_cache.get("hff").has_value());
    EXPECT_EQ(child->g, 2.5);
    EXPECT_TRUE(child->path.same_as(parent->path));
    EXPECT_EQ(child->todo.at(Action{4}).instance, 8u);
    EXPECT_TRUE(*child == *parent);
    // Writes to the child leave the parent as it was.
    child.set_value(0, I(9));
    child->todo.clear();
    EXPECT_EQ(parent->values[0], I(1));
    EXPECT_EQ(parent->todo.size(), 1u);
}

TEST(State, FullCloneCopiesTheCacheAndStaysIndependent) {
    auto original = make_state({I(1)});
    original->heuristic_cache.put("hff", 3.0);
    original->heuristic_cache.put("hmax", std::nullopt);

    auto copy = original->full_clone();
    ASSERT_EQ(copy->heuristic_cache.size(), 2u);
    EXPECT_EQ(copy->heuristic_cache.get("hff"), std::optional<std::optional<double>>(3.0));
    EXPECT_EQ(copy->heuristic_cache.get("hmax"), std::optional<std::optional<double>>(std::optional<double>()));

    copy->heuristic_cache.put("hadd", 1.0);
    original->heuristic_cache.put("custom", 5.0);
    EXPECT_FALSE(original->heuristic_cache.get("hadd").has_value());
    EXPECT_FALSE(copy->heuristic_cache.get("custom").has_value());
    EXPECT_EQ(copy->heuristic_cache.size(), 3u);
    EXPECT_EQ(original->heuristic_cache.size(), 3u);
}

TEST(State, EqualityIgnoresCostAndPath) {
    auto a = make_state({I(1), O("x")});
    auto b = make_state({I(1), O("x")});
    b->g = 7;
    b->path = b->path.append(PathEntry{Action{0}, 0, 0});
    EXPECT_TRUE(*a == *b);
    EXPECT_EQ(a->hash(), b->hash());

    auto c = make_state({I(1), R(1, 1)});  // a Rational 1/1 is not the Int 1
    EXPECT_FALSE(*a == *c);
    auto shorter = make_state({I(1)});
    EXPECT_FALSE(*a == *shorter);
    EXPECT_FALSE(*shorter == *a);
}

TEST(State, WithNothingRunningTheHashIsTheValuesHash) {
    // Classical tasks never have running actions or open conditions: their states are
    // told apart by their values alone.
    auto s = make_state({I(1), O("x")});
    EXPECT_EQ(s->hash(), s->values_hash());
    EXPECT_EQ(s->hash(), make_state({I(1), O("x")})->hash());
    EXPECT_NE(s->hash(), make_state({I(1), O("y")})->hash());
}

// Boolean fluents are packed 64 to a word: a hash that combines words weakly lets a flip
// in one word cancel against a flip in the next (fluents 63 and 68 once did).
TEST(State, StatesThatDifferInOneOrTwoBooleanFluentsNeverShareAHash) {
    for (std::size_t n : {1, 2, 5, 63, 64, 65, 68, 127, 128, 129, 133, 191, 192, 250, 300}) {
        const LayoutPtr layout = StateLayout::make(std::vector<bool>(n, true));
        for (bool base_value : {false, true}) {
            std::vector<ExpressionNode> base(n, B(base_value));
            auto with_flipped = [&](std::initializer_list<std::size_t> fluents) {
                std::vector<ExpressionNode> values = base;
                for (std::size_t f : fluents) values[f] = B(!base_value);
                StateBox s = State::make(values, layout);
                EXPECT_FALSE(s->has_boxed());
                return s->hash();
            };
            boost::unordered_flat_map<std::uint64_t, std::string> seen;
            auto record = [&](std::uint64_t h, std::string what) {
                auto [it, fresh] = seen.try_emplace(h, what);
                EXPECT_TRUE(fresh) << n << " fluents: " << what << " shares its hash with " << it->second;
            };
            record(with_flipped({}), "the base");
            for (std::size_t i = 0; i < n; ++i) {
                record(with_flipped({i}), std::to_string(i));
                for (std::size_t j = i + 1; j < n; ++j)
                    record(with_flipped({i, j}), std::to_string(i) + "," + std::to_string(j));
            }
        }
    }
}

// Running actions (action, next event, instance) and open conditions (expression, count)
// of a state without a network.
struct Progress {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> running;
    std::vector<std::pair<FlatExpr, std::uint64_t>> conditions;
    std::size_t reserve = 0;  // room reserved up front: another layout, another iteration order
};

StateBox state_with(const Progress& p) {
    auto s = make_state({I(1), B(true)});
    s->todo.reserve(p.reserve);
    s->active_conditions.reserve(p.reserve);
    for (const auto& [action, next, instance] : p.running) s->todo[Action{action}] = RunningEntry{next, instance};
    for (const auto& [condition, count] : p.conditions) s->active_conditions[condition] = count;
    return s;
}

FlatExpr fluent_is(std::uint64_t f, std::int64_t v) { return {F(f), I(v), Op("==", {0, 1})}; }

std::vector<std::uint64_t> running_order(const State& s) {
    std::vector<std::uint64_t> order;
    for (const auto& entry : s.todo) order.push_back(entry.first.idx);
    return order;
}

TEST(State, RunningActionsAndOpenConditionsAreCompared) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> running;
    for (std::uint64_t a = 0; a < 12; ++a) running.emplace_back(a, 1 + a % 3, static_cast<std::uint32_t>(10 * a));
    const Progress base{running, {{fluent_is(0, 1), 1}, {fluent_is(1, 0), 2}}};
    auto with = [&](auto change) {
        Progress p = base;
        change(p);
        return p;
    };
    struct Case {
        const char* what;
        Progress other;
        bool equal;
    } cases[] = {
        {"the same", base, true},
        {"other instance numbers",
         with([](Progress& p) { for (auto& r : p.running) std::get<2>(r) += 1000; }), true},
        {"inserted the other way round into a larger table",
         with([](Progress& p) {
             std::reverse(p.running.begin(), p.running.end());
             std::reverse(p.conditions.begin(), p.conditions.end());
             p.reserve = 4096;
         }),
         true},
        {"an action at another next event", with([](Progress& p) { std::get<1>(p.running[3]) += 1; }), false},
        {"another action running", with([](Progress& p) { std::get<0>(p.running[3]) = 99; }), false},
        {"an action fewer running", with([](Progress& p) { p.running.pop_back(); }), false},
        {"nothing running", with([](Progress& p) { p.running.clear(); }), false},
        {"a condition counted once more", with([](Progress& p) { p.conditions[0].second = 2; }), false},
        {"another condition", with([](Progress& p) { p.conditions[1].first = fluent_is(1, 1); }), false},
        {"a condition fewer", with([](Progress& p) { p.conditions.pop_back(); }), false},
        {"no condition", with([](Progress& p) { p.conditions.clear(); }), false},
    };
    auto a = state_with(base);
    for (const Case& c : cases) {
        auto b = state_with(c.other);
        EXPECT_EQ(*a == *b, c.equal) << c.what;
        EXPECT_EQ(*b == *a, c.equal) << c.what;
        EXPECT_EQ(a->hash() == b->hash(), c.equal) << c.what;
        EXPECT_EQ(a->values_hash(), b->values_hash()) << c.what;
        if (c.other.reserve) EXPECT_NE(running_order(*a), running_order(*b)) << "the tables must be walked in another order";
    }
}

TEST(State, TemporalStateEqualsNoState) {
    auto t = make_state({I(1)});
    t->temporal_network.emplace(0.0);
    EXPECT_FALSE(*t == *t);
    auto u = t->clone_for_child();
    ASSERT_TRUE(u->temporal_network.has_value());
    EXPECT_FALSE(*t == *u);
    // Only this side's network is looked at.
    auto plain = make_state({I(1)});
    EXPECT_TRUE(*plain == *t);
}

TEST(State, FluentValueRange) {
    auto s = make_state({I(1), I(2)});
    EXPECT_EQ(s->fluent_value(1), I(2));
    EXPECT_THROW(s->fluent_value(2), InternalError);
}

}  // namespace
