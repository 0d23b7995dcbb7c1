#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "engine/errors.hpp"
#include "engine/search_space.hpp"
#include "engine/stn.hpp"
#include "engine/tn_interpreter.hpp"
#include "engine/utils.hpp"

namespace quorvane {
namespace {

FlatExpr fluent_expr(std::uint64_t f) { return {ExpressionNode::fluent(f)}; }
FlatExpr true_expr() { return {ExpressionNode::boolean(true)}; }

struct EventShape {
    std::vector<std::uint64_t> reads = {};  // fluents of the condition
    std::vector<std::uint64_t> writes = {};  // fluents assigned (value: a constant)
    std::vector<std::uint64_t> opens = {};  // fluents of start conditions
    std::vector<std::uint64_t> closes = {};  // fluents of end conditions
};

Event make_event(Action a, std::uint64_t pos, const EventShape& shape) {
    Event e;
    e.action = a;
    e.pos = pos;
    if (shape.reads.empty()) e.conditions = true_expr();
    for (std::uint64_t f : shape.reads) e.conditions.push_back(ExpressionNode::fluent(f));
    for (std::uint64_t f : shape.writes) e.effects.push_back(Effect{f, {ExpressionNode::integer(Integer(1))}});
    for (std::uint64_t f : shape.opens) e.start_conditions.push_back(fluent_expr(f));
    for (std::uint64_t f : shape.closes) e.end_conditions.push_back(fluent_expr(f));
    return e;
}

// One row per action, each with the given events.
FluentSetTable table_of(const std::vector<std::vector<EventShape>>& rows) {
    FluentSetTable t;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        t.emplace_back();
        for (std::size_t k = 0; k < rows[i].size(); ++k)
            t.back().push_back(EventFluentSets::of(make_event(Action{i}, k, rows[i][k])));
    }
    return t;
}

EventPair pair(std::uint64_t a, std::size_t i, std::uint64_t b, std::size_t j) {
    return EventPair{EventRef{Action{a}, i}, EventRef{Action{b}, j}};
}

std::vector<TimedEvent> timed(Action a, std::size_t n) {
    std::vector<TimedEvent> out;
    for (std::size_t k = 0; k < n; ++k) out.emplace_back(Timing{true, Rational(0)}, make_event(a, k, {}));
    return out;
}

// --- time-point numbering ----------------------------------------------------------------

TEST(TNInterpreter, NumbersActionPointsThenEventPoints) {
    const Action a{0}, b{1};
    TNInterpreter tn({a, b}, ActionEvents{{a, timed(a, 2)}});
    EXPECT_EQ(tn.get_action_point(a, true), 3u);
    EXPECT_EQ(tn.get_action_point(a, false), 4u);
    EXPECT_EQ(tn.get_action_point(b, true), 5u);
    EXPECT_EQ(tn.get_action_point(b, false), 6u);
    EXPECT_EQ(tn.get_event_point(a, 0), 7u);
    EXPECT_EQ(tn.get_event_point(a, 1), 8u);
    EXPECT_EQ(time_point_key(3 + 2 * 1, 5), (std::uint64_t{5} << 32) + 5);
}

TEST(TNInterpreter, MissingPointsFailWithTheirTexts) {
    const Action a{0}, stray{7};
    TNInterpreter tn({a}, ActionEvents{{stray, timed(stray, 1)}});
    // An action with events but missing from the action list has event points only.
    EXPECT_EQ(tn.get_event_point(stray, 0), 5u);
    struct Case {
        std::function<void()> call;
        const char* text;
    };
    const std::vector<Case> cases = {
        {[&] { tn.get_action_point(stray, true); }, "Action not found in the TNInterpreter"},
        {[&] { tn.get_action_point(Action{99}, false); }, "Action not found in the TNInterpreter"},
        {[&] { tn.get_event_point(a, 0); }, "Event not found in the TNInterpreter"},
        {[&] { tn.get_event_point(stray, 1); }, "Event not found in the TNInterpreter"},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const InternalError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

TEST(TNInterpreter, LaterListingOfAnActionKeepsItsLastPoints) {
    const Action a{0}, b{1};
    TNInterpreter tn({a, b, a}, ActionEvents{});
    EXPECT_EQ(tn.get_action_point(a, true), 7u);
    EXPECT_EQ(tn.get_action_point(a, false), 8u);
    EXPECT_EQ(tn.num_action_points(), 6u);  // both listings stay in the reverse map
}

TEST(TNInterpreter, ActionTimingsSkipOtherPointsAndSortByTime) {
    const Action a{0}, b{1};
    TNInterpreter tn({a, b}, ActionEvents{{a, timed(a, 1)}});
    DeltaSTN<Rational> net(Rational(0));
    const std::uint64_t a_start0 = time_point_key(3, 0), a_end0 = time_point_key(4, 0);
    const std::uint64_t a_start9 = time_point_key(3, 9), b_start = time_point_key(5, 2);
    const std::uint64_t event = time_point_key(7, 1);
    net.add(a_start0, a_end0, mk_rational(-7, 2));  // a's end at 7/2
    net.add(a_start0, event, Rational(-10));        // an event point, not reported
    net.add(TNInterpreter::origin, a_start9, Rational(-1));
    net.add(TNInterpreter::horizon, b_start, Rational(0));
    ASSERT_TRUE(net.consistent());

    auto timings = tn.get_actions_timings(net);
    ASSERT_EQ(timings.size(), 4u);
    for (std::size_t i = 1; i < timings.size(); ++i) EXPECT_LE(timings[i - 1].second, timings[i].second);
    auto find = [&](Action act, bool start, std::uint32_t inst) -> std::optional<Rational> {
        for (const auto& [p, t] : timings)
            if (p.action == act && p.is_start == start && p.instance == inst) return t;
        return std::nullopt;
    };
    EXPECT_EQ(find(a, true, 0), Rational(0));
    EXPECT_EQ(find(a, false, 0), mk_rational(7, 2));
    EXPECT_EQ(find(a, true, 9), Rational(1));
    EXPECT_EQ(find(b, true, 2), Rational(0));

    TNInterpreter empty({}, ActionEvents{});
    EXPECT_TRUE(empty.get_actions_timings(net).empty());
}

// --- interference and precedence ------------------------------------------------------------

struct CheckCase {
    const char* name;
    EventShape first, second;
    bool mutex, precedence;
};

class CheckerTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckerTable, AnswersForEventsOfTwoActions) {
    const CheckCase& c = GetParam();
    FluentSetTable sets = table_of({{c.first}, {c.second}});
    MutexChecker mutex;
    PrecedenceChecker precedence;
    EXPECT_EQ(mutex.check(pair(0, 0, 1, 0), sets), c.mutex) << c.name;
    EXPECT_EQ(precedence.check(pair(0, 0, 1, 0), sets), c.precedence) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckerTable,
    ::testing::Values(
        CheckCase{"both read", {.reads = {1}}, {.reads = {1}}, false, false},
        CheckCase{"read then write", {.reads = {1}}, {.writes = {1}}, true, false},
        CheckCase{"write then read", {.writes = {1}}, {.reads = {1}}, true, false},
        CheckCase{"both write", {.writes = {1}}, {.writes = {1}}, true, false},
        CheckCase{"different fluents", {.writes = {1}}, {.reads = {2}, .writes = {3}}, false, false},
        CheckCase{"writer before opener", {.writes = {1}}, {.opens = {1}}, false, true},
        CheckCase{"opener before writer", {.opens = {1}}, {.writes = {1}}, false, false},
        CheckCase{"closer before writer", {.closes = {1}}, {.writes = {1}}, false, true},
        CheckCase{"writer before closer", {.writes = {1}}, {.closes = {1}}, false, false}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

TEST(Checkers, EffectValuesCountAsReads) {
    Event reader = make_event(Action{0}, 0, {});
    reader.effects.push_back(Effect{5, fluent_expr(1)});  // f5 := f1
    FluentSetTable sets = {{EventFluentSets::of(reader)}, {EventFluentSets::of(make_event(Action{1}, 0, {.writes = {1}}))}};
    EXPECT_TRUE(MutexChecker().check(pair(0, 0, 1, 0), sets));
    EXPECT_TRUE(MutexChecker().check(pair(1, 0, 0, 0), sets));
}

TEST(Checkers, SameActionIsTrueWithoutTouchingTheMemo) {
    // Positions far outside the table: the shortcut looks nothing up.
    FluentSetTable sets = table_of({{{}, {}}});
    MutexChecker mutex;
    PrecedenceChecker precedence;
    for (auto [i, j] : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 0}, {0, 0}, {5, 17}}) {
        EXPECT_TRUE(mutex.check(pair(0, i, 0, j), sets));
        EXPECT_TRUE(precedence.check(pair(0, i, 0, j), sets));
    }
    EXPECT_EQ(mutex.memo_size(), 0u);
    EXPECT_EQ(precedence.memo_size(), 0u);
}

TEST(Checkers, MemoStoresEachOrderedKeyOnce) {
    FluentSetTable sets = table_of({{{.writes = {1}}}, {{.opens = {1}}}});
    PrecedenceChecker precedence;
    EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0), sets));
    EXPECT_EQ(precedence.memo_size(), 1u);
    EXPECT_EQ(precedence.memo_lookup(pair(0, 0, 1, 0)), true);
    EXPECT_EQ(precedence.memo_lookup(pair(1, 0, 0, 0)), std::nullopt);
    EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0), sets));
    EXPECT_EQ(precedence.memo_size(), 1u);
    // The reversed key is a question of its own, with its own answer.
    EXPECT_FALSE(precedence.check(pair(1, 0, 0, 0), sets));
    EXPECT_EQ(precedence.memo_size(), 2u);
    EXPECT_EQ(precedence.memo_lookup(pair(1, 0, 0, 0)), false);

    // A stored answer is returned as stored, even against other sets.
    FluentSetTable unrelated = table_of({{{}}, {{}}});
    EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0), unrelated));
}

TEST(Checkers, OutOfRangeFailsAndLeavesTheMemoUsable) {
    FluentSetTable sets = table_of({{{.writes = {1}}}, {{.reads = {1}}}});
    MutexChecker mutex;
    const std::vector<EventPair> bad = {pair(0, 1, 1, 0), pair(0, 0, 1, 3), pair(0, 0, 4, 0), pair(9, 0, 1, 0)};
    for (const EventPair& key : bad) EXPECT_THROW(mutex.check(key, sets), InternalError);
    EXPECT_EQ(mutex.memo_size(), 0u);
    // Later calls neither block on a held lock nor see a half-written entry.
    auto later = std::async(std::launch::async, [&] {
        bool r = mutex.check(pair(0, 0, 1, 0), sets);
        EXPECT_THROW(mutex.check(pair(0, 1, 1, 0), sets), InternalError);
        return r;
    });
    ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(later.get());
    EXPECT_EQ(mutex.memo_size(), 1u);
    EXPECT_EQ(mutex.memo_lookup(pair(0, 1, 1, 0)), std::nullopt);
}

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

// --- lazy successors ------------------------------------------------------------------------

// A temporal task of three instant actions, each with one event at its start; action 1's
// condition is not boolean. Action 3 only makes the task temporal.
SearchSpace lazy_task() {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}, Action{2}, Action{3}};
    DurationBounds one{{ExpressionNode::integer(Integer(1))}, {ExpressionNode::integer(Integer(1))}, false, false};
    in.actions_duration = {std::nullopt, std::nullopt, std::nullopt, one};
    for (std::uint64_t a = 0; a < 3; ++a) {
        Event e = make_event(Action{a}, 0, {.writes = {a}});
        if (a == 1) e.conditions = {ExpressionNode::integer(Integer(1))};
        std::vector<TimedEvent> list;
        list.emplace_back(Timing{true, Rational(0)}, std::move(e));
        in.events.emplace_back(Action{a}, std::move(list));
    }
    in.initial_state = FlatExpr(3, ExpressionNode::integer(Integer(0)));
    in.relevant_actions = std::vector<Action>{Action{0}, Action{1}, Action{2}};
    return SearchSpace(std::move(in));
}

TEST(SuccessorSequence, ComputesOnlyWhatIsAskedForAndGoesOnAfterAnError) {
    SearchSpace space = lazy_task();
    ASSERT_TRUE(space.is_temporal());
    StatePtr root = space.initial_state();
    auto seq = space.get_successor_states_iter(root);
    // Every start of a temporal task takes numbers, so the counter shows what was computed.
    EXPECT_EQ(space.instance_counter(), 0u);
    StatePtr first = seq.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->path.front().action, Action{0});
    EXPECT_EQ(space.instance_counter(), 2u);
    try {
        seq.next();
        ADD_FAILURE() << "a non-boolean condition must fail";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "An action condition is not a boolean expression!");
    }
    EXPECT_FALSE(seq.done());
    StatePtr third = seq.next();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->path.front().action, Action{2});
    EXPECT_EQ(third->path.front().instance, 3u);
    EXPECT_EQ(space.instance_counter(), 4u);
    EXPECT_FALSE(seq.next());
    EXPECT_TRUE(seq.done());
    // The parent is only read.
    EXPECT_TRUE(root->path.empty());
    EXPECT_EQ(root->g, 0.0);
}


// --- initial state and the constraints of a step --------------------------------------------

using Edges = std::vector<std::pair<std::uint64_t, double>>;

// The outgoing edges of `point`, newest first.
Edges edges_of(const FloatNetwork& net, std::uint64_t point) {
    Edges out;
    auto it = net.constraints().find(point);
    if (it == net.constraints().end()) return out;
    for (const auto* e = it->second.head(); e; e = e->next()) out.emplace_back(e->node, e->weight);
    return out;
}

double time_of(const FloatNetwork& net, std::uint64_t point) { return -net.distances().at(point); }

ExpressionNode int_node(std::int64_t v) { return ExpressionNode::integer(Integer(v)); }

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
            EXPECT_TRUE(net.distances().empty());
            EXPECT_TRUE(net.constraints().empty());
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

// Action 0: a durative action with bounds (2, 5) open at both ends, event 0 at its start
// writing f0 and event 1 half a time unit after its end writing f1. Action 1: no
// duration, one event at its start reading f1 when `reads_f1`, else f2.
SearchSpace two_action_task(bool reads_f1, std::optional<Rational> deadline = std::nullopt) {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}};
    in.actions_duration = {DurationBounds{{int_node(2)}, {int_node(5)}, true, true}, std::nullopt};
    std::vector<TimedEvent> a0;
    a0.emplace_back(Timing{true, Rational(0)}, make_event(Action{0}, 0, {.writes = {0}}));
    a0.emplace_back(Timing{false, mk_rational(1, 2)}, make_event(Action{0}, 1, {.writes = {1}}));
    std::vector<TimedEvent> a1;
    a1.emplace_back(Timing{true, Rational(0)}, make_event(Action{1}, 0, {.reads = {reads_f1 ? 1u : 2u}}));
    in.events = {{Action{0}, std::move(a0)}, {Action{1}, std::move(a1)}};
    in.initial_state = FlatExpr(3, ExpressionNode::boolean(true));
    in.deadline = std::move(deadline);
    return SearchSpace(std::move(in));
}

TEST(SuccessorConstraints, StartPostsBoundsOriginHorizonPinsAndPendingEvents) {
    SearchSpace space = two_action_task(false);
    const TNInterpreter& tn = space.tn_interpreter();
    StatePtr child = space.get_successor_state(*space.initial_state(), Action{0});
    ASSERT_TRUE(child);
    const FloatNetwork& net = *child->temporal_network;
    ASSERT_TRUE(net.consistent());
    const std::uint64_t s = time_point_key(tn.get_action_point(Action{0}, true), 0);
    const std::uint64_t e = time_point_key(tn.get_action_point(Action{0}, false), 0);
    const std::uint64_t x0 = time_point_key(tn.get_event_point(Action{0}, 0), 1);
    const std::uint64_t x1 = time_point_key(tn.get_event_point(Action{0}, 1), 2);
    const double eps = 0.01;
    // Each list holds the edges of its point in the order they were posted, newest first.
    EXPECT_EQ(edges_of(net, s), (Edges{{x0, -0.0}, {e, -2.0 - eps}}));
    EXPECT_EQ(edges_of(net, e), (Edges{{x1, -0.5}, {TNInterpreter::horizon, -eps}, {s, 5.0 - eps}}));
    EXPECT_EQ(edges_of(net, TNInterpreter::origin), (Edges{{s, 0.0}}));
    EXPECT_EQ(edges_of(net, x0), (Edges{{x1, -eps}, {s, 0.0}}));
    EXPECT_EQ(edges_of(net, x1), (Edges{{e, 0.5}}));
    EXPECT_EQ(net.distances().size(), 6u);
    EXPECT_EQ(time_of(net, e), 2.0 + eps);
    EXPECT_EQ(time_of(net, x1), 2.0 + eps + 0.5);
    EXPECT_EQ(child->todo.at(Action{0}).instance, 2u);
    EXPECT_EQ(space.instance_counter(), 3u);
}

struct OrderCase {
    bool interfere;
    bool short_first;  // the plan [1, 0, 0] instead of [0, 1, 0]
};

class SuccessorOrder : public ::testing::TestWithParam<OrderCase> {};

// A new event lies after every earlier one (by epsilon when they interfere) and before
// every pending event of a running action (likewise).
TEST_P(SuccessorOrder, NewEventAgainstPathAndPendingEvents) {
    const OrderCase c = GetParam();
    SearchSpace space = two_action_task(c.interfere);
    const TNInterpreter& tn = space.tn_interpreter();
    const std::vector<Action> plan =
        c.short_first ? std::vector<Action>{Action{1}, Action{0}, Action{0}} : std::vector<Action>{Action{0}, Action{1}, Action{0}};
    StatePtr state = space.initial_state();
    for (Action a : plan) {
        state = space.get_successor_state(*state, a);
        ASSERT_TRUE(state);
    }
    const FloatNetwork& net = *state->temporal_network;
    // Numbers: the first start takes 0 (points) and then its events, the second the next ones.
    const std::uint32_t a0 = c.short_first ? 2 : 0, a1 = c.short_first ? 0 : 3;
    const std::uint64_t x0 = time_point_key(tn.get_event_point(Action{0}, 0), a0 + 1);
    const std::uint64_t x1 = time_point_key(tn.get_event_point(Action{0}, 1), a0 + 2);
    const std::uint64_t y = time_point_key(tn.get_event_point(Action{1}, 0), a1 + 1);
    const std::uint64_t s1 = time_point_key(tn.get_action_point(Action{1}, true), a1);
    const std::uint64_t s0 = time_point_key(tn.get_action_point(Action{0}, true), a0);
    const double eps = 0.01, link = c.interfere ? -eps : 0.0;
    if (c.short_first) {
        // Action 1 came first: x0 lies no earlier than y (f0 is not touched by action 1),
        // and the end event is ordered against y only when it is applied.
        EXPECT_EQ(edges_of(net, y), (Edges{{x1, link}, {x0, 0.0}, {s1, 0.0}}));
    } else {
        // y was placed after x0 and before the pending x1; applying x1 later repeats
        // constraints already stored, which adds no node.
        EXPECT_EQ(edges_of(net, y), (Edges{{x1, link}, {s1, 0.0}}));
        EXPECT_EQ(edges_of(net, x0), (Edges{{y, 0.0}, {x1, -eps}, {s0, 0.0}}));
    }
    EXPECT_TRUE(net.consistent());
    EXPECT_TRUE(state->todo.empty());
    EXPECT_EQ(space.instance_counter(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SuccessorOrder,
                         ::testing::Values(OrderCase{false, false}, OrderCase{true, false}, OrderCase{false, true},
                                           OrderCase{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.interfere ? "interfering" : "independent") +
                                    (info.param.short_first ? "_instant_first" : "_durative_first");
                         });

TEST(SuccessorConstraints, RejectedStartStillTestsEveryEarlierEvent) {
    // Action 0 lasts 5, which the deadline of 2 forbids; instants of actions 1 and 2 lie
    // on the path before it.
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}, Action{2}};
    in.actions_duration = {DurationBounds{{int_node(5)}, {int_node(5)}, false, false}, std::nullopt, std::nullopt};
    for (std::uint64_t a = 0; a < 3; ++a) {
        std::vector<TimedEvent> list;
        list.emplace_back(Timing{true, Rational(0)}, make_event(Action{a}, 0, {.writes = {a}}));
        in.events.emplace_back(Action{a}, std::move(list));
    }
    in.initial_state = FlatExpr(3, int_node(0));
    in.deadline = Rational(2);
    SearchSpace space(std::move(in));
    StatePtr state = space.initial_state();
    for (std::uint64_t a : {1u, 2u}) {
        state = space.get_successor_state(*state, Action{a});
        ASSERT_TRUE(state);
    }
    const std::size_t before = space.mutex_checker().memo_size();
    EXPECT_FALSE(space.get_successor_state(*state, Action{0}));
    // The network failed at the start constraints, yet the new event was still tested
    // against every event of the path, the newest as well as the oldest.
    EXPECT_EQ(space.mutex_checker().memo_lookup(pair(0, 0, 2, 0)), false);
    EXPECT_EQ(space.mutex_checker().memo_lookup(pair(0, 0, 1, 0)), false);
    EXPECT_EQ(space.mutex_checker().memo_size(), before + 2);
    EXPECT_EQ(space.instance_counter(), 2u + 2u + 2u);
}

}  // namespace
}  // namespace quorvane
