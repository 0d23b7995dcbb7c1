#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/space/search_space.hpp"
#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/time_points.hpp"
#include "engine/support/number.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {

using test_nodes::Op;

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

// Both ways a checker answers: from its bit matrix, and (for tasks with too many events
// for a matrix) from the fluent sets.
constexpr std::size_t kAnswerModes[] = {MutexChecker::kMaxMatrixEvents, 0};

TEST_P(CheckerTable, AnswersForEventsOfTwoActions) {
    const CheckCase& c = GetParam();
    FluentSetTable sets = table_of({{c.first}, {c.second}});
    for (std::size_t limit : kAnswerModes) {
        MutexChecker mutex(sets, limit);
        PrecedenceChecker precedence(sets, limit);
        ASSERT_EQ(mutex.tabulated(), limit > 0);
        EXPECT_EQ(mutex.check(pair(0, 0, 1, 0)), c.mutex) << c.name;
        EXPECT_EQ(precedence.check(pair(0, 0, 1, 0)), c.precedence) << c.name;
    }
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
    for (std::size_t limit : kAnswerModes) {
        EXPECT_TRUE(MutexChecker(sets, limit).check(pair(0, 0, 1, 0)));
        EXPECT_TRUE(MutexChecker(sets, limit).check(pair(1, 0, 0, 0)));
    }
}

// The tables must give the answers of the fluent-set tests for every ordered pair, over
// events that share fluents in every way; rows of different lengths (and empty rows) test
// the numbering.
TEST(Checkers, TablesAgreeWithTheFluentSetTestsOnRandomEvents) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> events_per_action(0, 3), fluents(0, 3), fluent(0, 7);
    auto some = [&] {
        std::vector<std::uint64_t> out(fluents(rng));
        for (auto& f : out) f = fluent(rng);
        return out;
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<std::vector<EventShape>> rows(1 + round % 7);
        for (auto& row : rows) {
            row.resize(events_per_action(rng));
            for (EventShape& e : row) e = EventShape{some(), some(), some(), some()};
        }
        const FluentSetTable sets = table_of(rows);
        for (std::size_t limit : kAnswerModes) {
            const MutexChecker mutex(sets, limit);
            const PrecedenceChecker precedence(sets, limit);
            for (std::uint64_t a = 0; a < rows.size(); ++a)
                for (std::size_t i = 0; i < rows[a].size(); ++i)
                    for (std::uint64_t b = 0; b < rows.size(); ++b)
                        for (std::size_t j = 0; j < rows[b].size(); ++j) {
                            const bool same = a == b;
                            const EventFluentSets& s = sets[a][i];
                            const EventFluentSets& t = sets[b][j];
                            ASSERT_EQ(mutex.check(pair(a, i, b, j)), same || detail::Interferes::holds(s, t));
                            ASSERT_EQ(precedence.check(pair(a, i, b, j)), same || detail::MustFollow::holds(s, t));
                        }
        }
    }
}

TEST(Checkers, AnswerFromASharedTableWithoutCopyingIt) {
    auto sets = std::make_shared<const FluentSetTable>(
        table_of({{{.writes = {1}}}, {{.reads = {1}, .opens = {1}}}, {{.reads = {2}}}}));
    const std::weak_ptr<const FluentSetTable> watch = sets;
    // With a matrix the table is not needed once the answers are in it.
    const PrecedenceChecker tabulated(sets);
    EXPECT_EQ(sets.use_count(), 1);
    // Without one, both checkers answer from the caller's table, which they keep alive.
    const MutexChecker mutex(sets, 0);
    const PrecedenceChecker precedence(sets, 0);
    EXPECT_EQ(sets.use_count(), 3);
    sets.reset();
    EXPECT_FALSE(watch.expired());
    for (const PrecedenceChecker* p : {&tabulated, &precedence}) {
        EXPECT_TRUE(p->check(pair(0, 0, 1, 0)));
        EXPECT_FALSE(p->check(pair(1, 0, 0, 0)));
    }
    EXPECT_TRUE(mutex.check(pair(0, 0, 1, 0)));
    EXPECT_FALSE(mutex.check(pair(0, 0, 2, 0)));
}

TEST(Checkers, SameActionIsTrueWithoutLookingAnythingUp) {
    // Positions far outside the table, and a checker with no table at all: the shortcut
    // looks nothing up.
    FluentSetTable sets = table_of({{{}, {}}});
    const MutexChecker mutex(sets);
    const PrecedenceChecker precedence(sets);
    const MutexChecker empty;
    for (auto [i, j] : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 0}, {0, 0}, {5, 17}}) {
        EXPECT_TRUE(mutex.check(pair(0, i, 0, j)));
        EXPECT_TRUE(precedence.check(pair(0, i, 0, j)));
        EXPECT_TRUE(empty.check(pair(3, i, 3, j)));
    }
}

TEST(Checkers, EachOrderedPairHasItsOwnAnswerFixedWhenTheCheckerIsMade) {
    for (std::size_t limit : kAnswerModes) {
        auto sets = std::make_unique<FluentSetTable>(table_of({{{.writes = {1}}}, {{.opens = {1}}}}));
        const PrecedenceChecker precedence(*sets, limit);
        // The answers do not depend on the caller's table afterwards.
        *sets = table_of({{{}}, {{}}});
        sets.reset();
        EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0)));
        EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0)));
        // The reversed pair is a question of its own, with its own answer.
        EXPECT_FALSE(precedence.check(pair(1, 0, 0, 0)));
    }
}

TEST(Checkers, OutOfRangeFailsWithItsTextAndLeavesTheCheckerUsable) {
    FluentSetTable sets = table_of({{{.writes = {1}}}, {{.reads = {1}}}});
    const char* row = "event of an action beyond the search space's fluent sets";
    const char* position = "event position beyond its action's fluent sets";
    // The first event's action and position are checked before the second's.
    const std::vector<std::pair<EventPair, const char*>> bad = {
        {pair(0, 1, 1, 0), position}, {pair(0, 0, 1, 3), position}, {pair(0, 0, 4, 0), row},
        {pair(9, 0, 1, 0), row},      {pair(0, 1, 4, 0), position}, {pair(9, 0, 1, 3), row}};
    for (std::size_t limit : kAnswerModes) {
        const MutexChecker mutex(sets, limit);
        for (const auto& [key, text] : bad) {
            try {
                mutex.check(key);
                ADD_FAILURE() << "no error for " << text;
            } catch (const InternalError& e) {
                EXPECT_STREQ(e.what(), text);
            }
        }
        // Later calls, from another thread too, neither block nor see a broken table.
        auto later = std::async(std::launch::async, [&] {
            bool r = mutex.check(pair(0, 0, 1, 0));
            EXPECT_THROW(mutex.check(pair(0, 1, 1, 0)), InternalError);
            return r;
        });
        ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(later.get());
    }
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
Edges edges_of(const FloatNetwork& net, std::uint64_t point) { return net.out_edges(point); }

double time_of(const FloatNetwork& net, std::uint64_t point) { return -net.potential(point).value(); }

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
    EXPECT_EQ(net.num_points(), 6u);
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

// Action 0 lasts 5, which the deadline of 2 forbids. Before it, the path holds the two
// events of action 1, which lasts 1; one of them claims a position beyond its list,
// which the interference test of any event of another action cannot look up.
struct RejectedStartCase {
    const char* name;
    std::size_t broken;  // which event of action 1 (0: the oldest of the path)
};

class RejectedStart : public ::testing::TestWithParam<RejectedStartCase> {};

TEST_P(RejectedStart, StillTestsEveryEarlierEvent) {
    const RejectedStartCase& c = GetParam();
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}};
    in.actions_duration = {DurationBounds{{int_node(5)}, {int_node(5)}, false, false},
                           DurationBounds{{int_node(1)}, {int_node(1)}, false, false}};
    std::vector<TimedEvent> a0, a1;
    a0.emplace_back(Timing{true, Rational(0)}, make_event(Action{0}, 0, {.writes = {0}}));
    for (std::uint64_t k = 0; k < 2; ++k)
        a1.emplace_back(Timing{k == 0, Rational(0)}, make_event(Action{1}, k == c.broken ? 7 : k, {.writes = {1}}));
    in.events = {{Action{0}, std::move(a0)}, {Action{1}, std::move(a1)}};
    in.initial_state = FlatExpr(2, int_node(0));
    in.deadline = Rational(2);
    SearchSpace space(std::move(in));
    StatePtr state = space.initial_state();
    for (int step = 0; step < 2; ++step) {
        state = space.get_successor_state(*state, Action{1});
        ASSERT_TRUE(state);
    }
    // The network fails at the start constraints, yet the new event is still tested
    // against every event of the path, the oldest as well as the newest.
    try {
        space.get_successor_state(*state, Action{0});
        ADD_FAILURE() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "event position beyond its action's fluent sets");
    }
    EXPECT_EQ(space.instance_counter(), 3u + 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedStart,
                         ::testing::Values(RejectedStartCase{"oldest_broken", 0}, RejectedStartCase{"newest_broken", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

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
