#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/space/search_space.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/number.hpp"
#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/time_points.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {

using namespace test_tasks;
using test_nodes::Op;

// --- search space construction ----------------------------------------------------------

TEST(SearchSpaceConstruction, EventsBeyondTheActionsAreRefused) {
    SearchSpaceInput in;
    in.actions = {Action{0}};
    in.events = {{Action{1}, timed(Action{1}, 1)}};
    EXPECT_THROW(SearchSpace{std::move(in)}, InternalError);
}

TEST(SearchSpaceConstruction, FluentSetRowsFollowTheActions) {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}, Action{2}};
    std::vector<TimedEvent> events;
    events.emplace_back(Timing{true, Rational(0)}, make_event(Action{2}, 0, {.reads = {4}, .writes = {1}}));
    events.emplace_back(Timing{false, Rational(0)}, make_event(Action{2}, 1, {.opens = {6}}));
    in.events = {{Action{2}, std::move(events)}};
    SearchSpace space(std::move(in));
    const FluentSetTable& t = space.fluent_sets();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_TRUE(t[0].empty());
    EXPECT_TRUE(t[1].empty());
    ASSERT_EQ(t[2].size(), 2u);
    EXPECT_TRUE(t[2][0].reads.contains(4));
    EXPECT_TRUE(t[2][0].writes.contains(1));
    EXPECT_EQ(t[2][0].reads_or_writes.size(), 2u);
    EXPECT_TRUE(t[2][1].start_condition_fluents.contains(6));
    EXPECT_EQ(space.epsilon(), mk_rational(1, 100));
    EXPECT_DOUBLE_EQ(space.epsilon_float(), 0.01);
    EXPECT_FALSE(space.is_temporal());
    EXPECT_EQ(space.relevant_actions().size(), 3u);
}

// --- initial state ------------------------------------------------------------------------------

struct InitialCase {
    std::optional<Rational> deadline, epsilon;
    double tolerance;
};

TEST(InitialState, NetworkOfATemporalTask) {
    const std::vector<InitialCase> cases = {
        {std::nullopt, std::nullopt, 0.01 / 1000.0},
        {Rational(10), std::nullopt, 0.01 / 1000.0},
        {mk_rational(7, 2), mk_rational(1, 1000), 0.001 / 1000.0},
    };
    for (const InitialCase& c : cases) {
        SearchSpaceInput in;
        in.actions_duration = {DurationBounds{{int_node(1)}, {int_node(1)}, false, false}};
        in.initial_state = FlatExpr{int_node(0)};
        in.deadline = c.deadline;
        in.epsilon = c.epsilon;
        SearchSpace space(std::move(in));
        StatePtr s = space.initial_state();
        ASSERT_TRUE(s->temporal_network.has_value());
        const FloatNetwork& net = *s->temporal_network;
        EXPECT_TRUE(net.consistent());
        EXPECT_EQ(net.tolerance(), c.tolerance);
        if (!c.deadline) {
            EXPECT_EQ(net.num_points(), 0u);
            EXPECT_TRUE(net.points().empty());
            continue;
        }
        const double d = c.deadline->to_double();
        EXPECT_EQ(edges_of(net, TNInterpreter::horizon), (Edges{{TNInterpreter::origin, d}}));
        EXPECT_EQ(edges_of(net, TNInterpreter::origin), (Edges{{TNInterpreter::horizon, -d}}));
        EXPECT_EQ(time_of(net, TNInterpreter::origin), 0.0);
        EXPECT_EQ(time_of(net, TNInterpreter::horizon), d);
    }
    // Given as 1/1000, epsilon is kept exactly and as its nearest float.
    SearchSpaceInput in;
    in.epsilon = mk_rational(1, 1000);
    SearchSpace fine(std::move(in));
    EXPECT_EQ(fine.epsilon(), mk_rational(1, 1000));
    EXPECT_EQ(fine.epsilon_float(), 0.001);
}

TEST(InitialState, NoNetworkWithoutDurations) {
    SearchSpaceInput in;
    in.actions_duration = {std::nullopt, std::nullopt};
    in.initial_state = FlatExpr{int_node(0)};
    SearchSpace space(std::move(in));
    EXPECT_FALSE(space.initial_state()->temporal_network.has_value());
}

// --- the layout of the states ----------------------------------------------------------------

ExpressionNode int_value(std::int64_t v) { return ExpressionNode::integer(Integer(v)); }
ExpressionNode bool_value(bool v) { return ExpressionNode::boolean(v); }

// One action per effect, each an instant with one effect and a true condition.
SearchSpace effects_task(FlatExpr initial, const std::vector<Effect>& effects) {
    SearchSpaceInput in;
    for (std::uint64_t a = 0; a < effects.size(); ++a) {
        in.actions.push_back(Action{a});
        in.actions_duration.push_back(std::nullopt);
        Event e = make_event(Action{a}, 0, {});
        e.effects = {effects[a]};
        std::vector<TimedEvent> list;
        list.emplace_back(Timing{true, Rational(0)}, std::move(e));
        in.events.emplace_back(Action{a}, std::move(list));
    }
    in.initial_state = std::move(initial);
    return SearchSpace(std::move(in));
}

TEST(StateLayout, BitsForTheFluentsThatOnlyEverHoldBooleans) {
    // Fluents 0-5 start as booleans, 6 as a number.
    const FlatExpr initial = {bool_value(false), bool_value(true), bool_value(true), bool_value(false),
                              bool_value(true),  bool_value(false), int_value(3)};
    const std::vector<Effect> effects = {
        {0, {bool_value(true)}},                                                        // a constant
        {1, {ExpressionNode::fluent(6), int_value(3), Op("<=", {0, 1})}},              // a comparison
        {2, {ExpressionNode::fluent(6)}},                                               // a number, copied
        {3, {ExpressionNode::fluent(2)}},                                               // copies 2, which may be a number
        {4, {ExpressionNode::fluent(0)}},                                               // copies a boolean
        {5, {ExpressionNode::fluent(0), int_value(1), Op("+", {0, 1})}},               // arithmetic
    };
    SearchSpace space = effects_task(initial, effects);
    ASSERT_TRUE(space.layout());
    const std::vector<bool> expected = {true, true, false, false, true, false, false};
    for (std::uint64_t f = 0; f < expected.size(); ++f) EXPECT_EQ(space.layout()->is_bit(f), expected[f]) << f;

    // Every effect lands whatever its value: the arithmetic one fails only in evaluation.
    StatePtr root = space.initial_state();
    for (std::uint64_t a = 0; a < 5; ++a) {
        StatePtr next = space.get_successor_state(*root, Action{a});
        ASSERT_TRUE(next);
        EXPECT_EQ(&next->values.layout(), space.layout().get());
    }
    EXPECT_EQ(space.get_successor_state(*root, Action{2})->fluent_value(2), int_value(3));
    EXPECT_EQ(space.get_successor_state(*root, Action{1})->fluent_value(1), bool_value(true));
    EXPECT_THROW(space.get_successor_state(*root, Action{5}), Error);
}

TEST(StateLayout, ACallersInitialStateThatDoesNotFitFallsBackToCells) {
    // Fluent 0 is boolean in the task; the caller starts it with a number instead.
    SearchSpace space = effects_task({bool_value(false), int_value(0)},
                                     {{0, {bool_value(true)}}, {1, {int_value(5)}}});
    ASSERT_TRUE(space.layout()->is_bit(0));
    const FlatExpr odd = {int_value(7), int_value(0)};
    StatePtr root = space.initial_state(&odd);
    EXPECT_NE(&root->values.layout(), space.layout().get());
    EXPECT_EQ(root->fluent_value(0), int_value(7));
    // A successor that keeps the odd value stays in cells; one that restores a boolean
    // is packed again, and equals (with the same hash) the state reached the usual way.
    StatePtr kept = space.get_successor_state(*root, Action{1});
    EXPECT_EQ(kept->fluent_value(0), int_value(7));
    EXPECT_EQ(kept->fluent_value(1), int_value(5));
    StatePtr restored = space.get_successor_state(*kept, Action{0});
    EXPECT_EQ(&restored->values.layout(), space.layout().get());
    StatePtr usual = space.get_successor_state(*space.get_successor_state(*space.initial_state(), Action{1}), Action{0});
    EXPECT_TRUE(*restored == *usual);
    EXPECT_EQ(restored->hash(), usual->hash());
    EXPECT_FALSE(*kept == *usual);

    // Another length: values are read as given, and an effect beyond them fails as before.
    const FlatExpr shorter = {bool_value(true)};
    StatePtr short_root = space.initial_state(&shorter);
    EXPECT_EQ(short_root->values.size(), 1u);
    EXPECT_TRUE(space.get_successor_state(*short_root, Action{0}));
    EXPECT_THROW(space.get_successor_state(*short_root, Action{1}), InternalError);
}

TEST(StateLayout, BoxedValuesLiveExactlyAsLongAsTheirStates) {
    // x := x * 2^40 outgrows the inline integers after one step and then keeps growing.
    const FlatExpr factor = {ExpressionNode::fluent(0), ExpressionNode::integer(Integer(std::int64_t{1} << 40)),
                             Op("*", {0, 1})};
    SearchSpace space = effects_task({int_value(1), bool_value(false)}, {{0, factor}, {1, {bool_value(true)}}});
    const std::size_t boxes = CellBox::live();
    {
        StatePtr s = space.initial_state();
        std::vector<StatePtr> kept;
        for (int step = 0; step < 50; ++step) {
            s = space.get_successor_state(*s, Action{step % 5 == 4 ? 1u : 0u});
            ASSERT_TRUE(s);
            if (step % 7 == 0) kept.push_back(s);
        }
        EXPECT_EQ(s->fluent_value(0).as_int(), Integer(1) * [] {
            Integer p(1);
            for (int i = 0; i < 40; ++i) p = p * Integer(std::int64_t{1} << 40);
            return p;
        }());
        // Only states still held keep their boxes: seven kept states and the last one.
        EXPECT_LE(CellBox::live(), boxes + kept.size() + 1);
        StatePtr copy = s->full_clone();
        EXPECT_TRUE(*copy == *s);
        EXPECT_EQ(copy->hash(), s->hash());
    }
    EXPECT_EQ(CellBox::live(), boxes);
}

}  // namespace
}  // namespace quorvane
