// The successors a search walks skip actions by the word tests of their first events'
// conditions, and write constant effects straight into the words. Over random tasks
// (boolean, numeric and object fluents; one- and two-event actions; with and without
// a network) and the states of random walks, they give exactly the successors that
// trying every relevant action in full gives, in the same order and with the same
// values, and the values the evaluator gives the effects.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "engine/expressions/evaluation.hpp"
#include "engine/space/search_space.hpp"
#include "engine/support/errors.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {

using namespace test_nodes;

constexpr std::uint64_t kBits = 70;  // more than one word of bits
constexpr std::uint64_t kNumbers = 3;
constexpr std::uint64_t kObjects = 2;
constexpr std::uint64_t kFluents = kBits + kNumbers + kObjects;

struct TaskShape {
    std::string name;
    bool temporal = false;
    bool two_events = false;  // some actions have a second event: they run
    bool numeric = false;     // comparisons in conditions, increments in effects
    std::uint32_t seed = 1;
};

void PrintTo(const TaskShape& s, std::ostream* os) { *os << s.name; }

// A random condition: a conjunction of bit literals, object equalities (some negated),
// sometimes a disjunction or a comparison, sometimes a constant.
FlatExpr random_condition(std::mt19937& rng, const TaskShape& shape) {
    FlatExpr e;
    std::vector<NodeIndex> conjuncts;
    const int kind = static_cast<int>(rng() % 20);
    if (kind == 0) return {B(false)};
    if (kind == 1) return {B(true)};
    const int n = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < n; ++k) {
        e.push_back(F(rng() % kBits));
        if (rng() % 3 == 0) e.push_back(Op("not", {e.size() - 1}));
        conjuncts.push_back(e.size() - 1);
    }
    if (rng() % 2) {
        e.push_back(F(kBits + kNumbers + rng() % kObjects));
        e.push_back(O(rng() % 2 ? "a" : "b"));
        e.push_back(Op("==", {e.size() - 2, e.size() - 1}));
        if (rng() % 4 == 0) e.push_back(Op("not", {e.size() - 1}));
        conjuncts.push_back(e.size() - 1);
    }
    if (rng() % 4 == 0) {
        e.push_back(F(rng() % kBits));
        e.push_back(F(rng() % kBits));
        e.push_back(Op("or", {e.size() - 2, e.size() - 1}));
        conjuncts.push_back(e.size() - 1);
    }
    if (shape.numeric && rng() % 2) {
        e.push_back(F(kBits + rng() % kNumbers));
        e.push_back(I(static_cast<std::int64_t>(rng() % 4)));
        e.push_back(Op(rng() % 2 ? "<=" : "<", {e.size() - 2, e.size() - 1}));
        conjuncts.push_back(e.size() - 1);
    }
    if (conjuncts.size() > 1) e.push_back(Op("and", conjuncts));
    return e;
}

std::vector<Effect> random_effects(std::mt19937& rng, const TaskShape& shape) {
    std::vector<Effect> out;
    const int n = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < n; ++k) {
        const int kind = static_cast<int>(rng() % 6);
        if (kind == 0) {
            out.push_back(Effect{kBits + kNumbers + rng() % kObjects, {O(rng() % 2 ? "a" : "b")}});
        } else if (kind == 1 && shape.numeric) {
            const std::uint64_t f = kBits + rng() % kNumbers;
            out.push_back(Effect{f, {F(f), I(1), Op("+", {0, 1})}});
        } else if (kind == 2 && shape.numeric) {
            // Now and then an object where numbers are compared: those comparisons fail.
            const std::uint64_t f = kBits + rng() % kNumbers;
            if (rng() % 3 == 0) out.push_back(Effect{f, {O("a")}});
            else out.push_back(Effect{f, {I(static_cast<std::int64_t>(rng() % 3))}});
        } else if (kind == 3) {
            out.push_back(Effect{rng() % kBits, {F(rng() % kBits)}});  // a copy
        } else {
            out.push_back(Effect{rng() % kBits, {B(rng() % 2 == 0)}});
        }
    }
    return out;
}

SearchSpace random_task(const TaskShape& shape) {
    std::mt19937 rng(shape.seed);
    const std::uint64_t actions = 60;
    SearchSpaceInput in;
    DurationBounds one{{I(1)}, {I(2)}, false, false};
    for (std::uint64_t a = 0; a < actions; ++a) {
        in.actions.push_back(Action{a});
        in.actions_duration.push_back(shape.temporal && a % 3 == 0 ? std::optional<DurationBounds>(one)
                                                                   : std::nullopt);
        std::vector<TimedEvent> list;
        const int events = shape.two_events && a % 4 == 0 ? 2 : 1;
        for (int k = 0; k < events; ++k) {
            Event e;
            e.action = Action{a};
            e.pos = static_cast<std::uint64_t>(k);
            e.conditions = random_condition(rng, shape);
            e.effects = random_effects(rng, shape);
            list.emplace_back(Timing{k == 0, Rational(0)}, std::move(e));
        }
        in.events.emplace_back(Action{a}, std::move(list));
    }
    FlatExpr initial;
    for (std::uint64_t f = 0; f < kBits; ++f) initial.push_back(B(rng() % 2 == 0));
    for (std::uint64_t f = 0; f < kNumbers; ++f) initial.push_back(I(0));
    for (std::uint64_t f = 0; f < kObjects; ++f) initial.push_back(O("a"));
    in.initial_state = std::move(initial);
    in.goal = FlatExpr{B(false)};
    // Actions in another order than their indices, one twice, one left out.
    std::vector<Action> relevant;
    for (std::uint64_t a = actions; a-- > 1;) relevant.push_back(Action{a});
    relevant.push_back(Action{7});
    in.relevant_actions = std::move(relevant);
    return SearchSpace(std::move(in));
}

// A successor (its action and values) or an error (its text).
struct Outcome {
    std::uint64_t action = 0;
    std::vector<ExpressionNode> values;
    std::string error;
    bool operator==(const Outcome& o) const {
        return action == o.action && values == o.values && error == o.error;
    }
};

std::vector<ExpressionNode> values_of(const State& s) {
    return std::vector<ExpressionNode>(s.values.begin(), s.values.end());
}

std::vector<Outcome> full_scan(const SearchSpace& space, const State& parent) {
    std::vector<Outcome> out;
    for (const Action a : space.relevant_actions()) {
        StateBox child;
        try {
            if (space.build_successor(parent, a, true, child)) out.push_back({a.idx, values_of(*child), {}});
        } catch (const Error& e) {
            out.push_back({0, {}, e.what()});
        }
    }
    return out;
}

// What the successors a search walks give, with their values checked against the
// evaluator's values of the effects of one-event actions.
std::vector<Outcome> walked(const SearchSpace& space, const State& parent, std::vector<StatePtr>& children) {
    std::vector<Outcome> out;
    StateBox box;
    SuccessorsInPlace<SearchSpace> successors(space, parent, box);
    for (;;) {
        const State* child = nullptr;
        try {
            child = successors.next();
        } catch (const Error& e) {
            out.push_back({0, {}, e.what()});  // the sequence goes on after the failing action
            continue;
        }
        if (!child) break;
        const Action a = child->path.front().action;
        out.push_back({a.idx, values_of(*child), {}});
        const std::vector<TimedEvent>& events = *space.events_of(a);
        if (events.size() == 1 && parent.todo.empty()) {
            std::vector<ExpressionNode> expected = values_of(parent);
            for (const Effect& e : events[0].second.effects)
                expected[e.fluent] = internal_evaluate(std::span<const ExpressionNode>(e.value), parent);
            EXPECT_EQ(out.back().values, expected) << "action " << a.idx;
        }
        children.push_back(StatePtr(successors.take()));
    }
    return out;
}

class SuccessorFilters : public ::testing::TestWithParam<TaskShape> {};

TEST_P(SuccessorFilters, GiveWhatTryingEveryActionGives) {
    const TaskShape& shape = GetParam();
    SearchSpace space = random_task(shape);
    ASSERT_TRUE(space.layout());
    std::mt19937 rng(shape.seed + 1000);
    std::size_t states = 0, successors = 0, running = 0, errors = 0;
    for (int walk = 0; walk < 20; ++walk) {
        StatePtr state = space.initial_state();
        for (int depth = 0; depth < 15 && state; ++depth) {
            std::vector<StatePtr> children;
            const std::vector<Outcome> got = walked(space, *state, children);
            ASSERT_EQ(got, full_scan(space, *state));
            ++states;
            for (const Outcome& o : got) (o.error.empty() ? successors : errors) += 1;
            running += !state->todo.empty();
            state = children.empty() ? nullptr : children[rng() % children.size()];
        }
    }
    // The walks reach states where some actions apply and others do not.
    EXPECT_GT(states, 100u);
    EXPECT_GT(successors, states);
    EXPECT_LT(successors, states * 60);
    if (shape.two_events) EXPECT_GT(running, 0u);
    if (shape.numeric) EXPECT_GT(errors, 0u) << states << " states, " << successors << " successors";
}

INSTANTIATE_TEST_SUITE_P(Tasks, SuccessorFilters,
                         ::testing::Values(TaskShape{"boolean", false, false, false, 1},
                                           TaskShape{"boolean_other_seed", false, false, false, 7},
                                           TaskShape{"numeric", false, false, true, 2},
                                           TaskShape{"running_actions", false, true, true, 3},
                                           TaskShape{"temporal", true, true, false, 4},
                                           TaskShape{"temporal_numeric", true, false, true, 5}),
                         [](const auto& info) { return info.param.name; });

// After the relevant actions change, the skipping follows the new list.
TEST(SuccessorFilters, FollowTheRelevantActionsWhenTheyChange) {
    SearchSpace space = random_task(TaskShape{"boolean", false, false, false, 1});
    StatePtr root = space.initial_state();
    std::vector<Action> fewer;
    for (std::uint64_t a = 0; a < 60; a += 2) fewer.push_back(Action{a});
    space.set_relevant_actions(fewer);
    std::vector<StatePtr> children;
    const std::vector<Outcome> got = walked(space, *root, children);
    EXPECT_EQ(got, full_scan(space, *root));
    EXPECT_FALSE(got.empty());
    for (const Outcome& o : got) EXPECT_EQ(o.action % 2, 0u);
}

}  // namespace
}  // namespace quorvane
