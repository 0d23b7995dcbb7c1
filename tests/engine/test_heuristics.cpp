// Delete-relaxation heuristics (hff, hadd, hmax) and explicit-value hmax.
#include <gtest/gtest.h>
#include <iostream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/heuristics/heuristic.hpp"
#include "engine/heuristics/value_cache.hpp"
#include "engine/heuristics/explicit_hmax.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/heuristics/relaxed_task.hpp"
#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "engine/expressions/splitting.hpp"
#include "engine/expressions/expression_manager.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;


Event event(FlatExpr conditions, std::vector<Effect> effects) {
    Event e;
    e.conditions = std::move(conditions);
    e.effects = std::move(effects);
    return e;
}
// An action's events, as the caller lists them.
std::pair<Action, std::vector<TimedEvent>> action_events(std::uint64_t idx, std::vector<Event> events) {
    std::vector<TimedEvent> out;
    for (std::size_t i = 0; i < events.size(); ++i) {
        events[i].action = Action{idx};
        events[i].pos = i;
        out.emplace_back(Timing{}, std::move(events[i]));
    }
    return {Action{idx}, std::move(out)};
}
// An action whose events do nothing but follow one another.
std::pair<Action, std::vector<TimedEvent>> plain_action(std::uint64_t idx, std::size_t events) {
    return action_events(idx, std::vector<Event>(events, event({}, {})));
}

StateBox make_state(std::vector<ExpressionNode> values, std::vector<std::pair<std::uint64_t, std::uint64_t>> running = {}) {
    StateBox s = State::make(values);
    for (auto [a, next] : running) s->todo[Action{a}] = TodoEntry{next, 7};
    return s;
}

std::vector<Action> actions_of(const ActionEvents& events) {
    std::vector<Action> out;
    for (const auto& [a, list] : events) out.push_back(a);
    return out;
}

struct Task {
    std::vector<std::string> types;
    ObjectsByType objects;
    ActionEvents events;
    FlatExpr goal;
    std::vector<Action> actions;  // defaults to the keys of `events`
};

DeleteRelaxationHeuristic relaxation(const Task& t, RelaxationKind kind, bool caching = false,
                                     bool inadmissible = false, bool no_numbers = false) {
    return DeleteRelaxationHeuristic(t.actions.empty() ? actions_of(t.events) : t.actions, t.types, t.objects, t.events,
                                     t.goal, caching, inadmissible, no_numbers, kind);
}

constexpr RelaxationKind kAllKinds[] = {RelaxationKind::HFF, RelaxationKind::HADD, RelaxationKind::HMAX};

// ---------------------------------------------------------------------------
// Delete relaxation

TEST(Relaxation, GoalHoldingInAnIdleStateIsZeroAndUnreachableGoalIsADeadEnd) {
    // p (fluent 0) holds; q (fluent 1) has no achiever.
    Task t{{"bool", "bool"}, {}, {plain_action(0, 2)}, {}, {}};
    const auto state = make_state({B(true), B(false)});
    for (RelaxationKind kind : kAllKinds) {
        t.goal = {F(0)};
        EXPECT_EQ(relaxation(t, kind).eval(*state), 0.0) << static_cast<int>(kind);
        t.goal = {F(1)};
        EXPECT_EQ(relaxation(t, kind).eval(*state), std::nullopt) << static_cast<int>(kind);
    }
}

TEST(Relaxation, ProgressFluentsFollowTheActionsListAndOperatorsTheActionIndex) {
    // Two task fluents; action 0 has two events, action 1 one. With actions [0, 1] the
    // progress fluents are 2, 3 (action 0, idle 3) and 4 (action 1); with [1, 0] action
    // 1 takes 2 and action 0 takes 3, 4. A goal on fluent 3 tells them apart.
    Task t{{"bool", "bool"}, {}, {plain_action(0, 2), plain_action(1, 1)}, {F(3)}, {}};
    const auto running = make_state({B(false), B(false)}, {{0, 1}});
    const auto idle = make_state({B(false), B(false)});

    t.actions = {Action{0}, Action{1}};
    // Fluent 3 is action 0's idle fluent: its second event must still happen.
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*running), 2.0);  // goal 1 + idle 1
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*idle), 0.0);

    t.actions = {Action{1}, Action{0}};
    // Fluent 3 is now the progress fluent of action 0's first event, which just happened.
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*running), 1.0);  // goal 0 + idle 1
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*idle), 1.0);     // goal 1 + idle 0 (nothing is deleted)
}

TEST(Relaxation, ConjunctionAddsWithHaddAndTakesTheMaximumWithHmax) {
    // p (fluent 0) comes with the second event of action 0, q (fluent 1) with the
    // third event of action 1: costs 2 and 3.
    Effect p{0, {B(true)}}, q{1, {B(true)}};
    Task t{{"bool", "bool"},
           {},
           {action_events(0, {event({}, {}), event({}, {p})}),
            action_events(1, {event({}, {}), event({}, {}), event({}, {q})})},
           {F(0), F(1), Op("and", {0, 1})},
           {}};
    const auto state = make_state({B(false), B(false)});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 5.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HMAX).eval(*state), 3.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*state), 5.0);  // every event of both actions
}

TEST(Relaxation, HffCountsOnlyTheEventsStillToComeOfRunningActions) {
    Task t{{"bool"}, {}, {plain_action(0, 3)}, {F(0)}, {}};
    const auto state = make_state({B(true)}, {{0, 1}});
    EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*state), 2.0);
}

TEST(Relaxation, UnreachableIdleConditionIsADeadEndForHaddAndHmax) {
    // Action 0 runs and its second event can never happen.
    Task t{{"bool"}, {}, {action_events(0, {event({}, {}), event({B(false)}, {})})}, {F(0)}, {}};
    const auto state = make_state({B(true)}, {{0, 1}});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), std::nullopt);
    EXPECT_EQ(relaxation(t, RelaxationKind::HMAX).eval(*state), std::nullopt);
}

TEST(Relaxation, LinearConditionOffersForIncrementsAssignmentsAndComplexEffects) {
    // Goal 10 <= x (10 - x <= 0) from x = 3. The numeric operator needs p, which costs 1.
    struct Case {
        const char* name;
        FlatExpr value;
        bool inadmissible;
        double hadd;
    };
    const Case cases[] = {
        // d = -2, r = ceil(7 / 2) = 4
        {"increment", {F(0), I(2), Op("+", {0, 1})}, false, 5.0},
        {"increment, inadmissible", {F(0), I(2), Op("+", {0, 1})}, true, 5.0},
        // one application with the admissible variant; d = -1, r = 7 with the other
        {"assignment", {I(5)}, false, 2.0},
        {"assignment, inadmissible", {I(5)}, true, 8.0},
        {"complex", {I(2), F(0), Op("*", {0, 1})}, false, 2.0},
        {"complex, inadmissible", {I(2), F(0), Op("*", {0, 1})}, true, 8.0},
    };
    for (const Case& c : cases) {
        Task t{{"int", "bool"},
               {},
               {action_events(0, {event({}, {Effect{1, {B(true)}}})}),
                action_events(1, {event({F(1)}, {Effect{0, c.value}})})},
               {I(10), F(0), Op("<=", {0, 1})},
               {}};
        const auto state = make_state({I(3), B(false)});
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, c.inadmissible).eval(*state), c.hadd) << c.name;
        EXPECT_EQ(relaxation(t, RelaxationKind::HMAX, false, c.inadmissible).eval(*state), c.hadd) << c.name;
        // The relaxed plan: the numeric action and the one that gives p.
        EXPECT_EQ(relaxation(t, RelaxationKind::HFF, false, c.inadmissible).eval(*state), 2.0) << c.name;
    }
}

TEST(Relaxation, StrictConditionsKeepHalfTheSmallestChangeAsMargin) {
    // x := x - 2 and the goal x < 3: kept as x - 2 <= 0.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(2), Op("-", {0, 1})}}})})},
           {F(0), I(3), Op("<", {0, 1})}, {}};
    const auto h = relaxation(t, RelaxationKind::HADD);
    EXPECT_EQ(h.eval(*make_state({I(2)})), 0.0);
    EXPECT_EQ(h.eval(*make_state({I(3)})), 1.0);  // 3 < 3 fails: one step, not none
    EXPECT_EQ(h.eval(*make_state({I(5)})), 2.0);  // 5 -> 3 -> 1
}

TEST(Relaxation, StrictConditionLoweredOnlyByAnAssignmentStillNeedsTheAssignment) {
    // No pair has a negative change; x := 0 is listed without one. At x = 3 the
    // condition x < 3 fails and the assignment must be applied once.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {I(0)}}})})}, {F(0), I(3), Op("<", {0, 1})}, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({I(3)})), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({I(1)})), 0.0);
}

TEST(Relaxation, EqualityAndNegatedComparisonsAreRewrittenIntoLinearConditions) {
    // x := x + 1 from x = 0.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})}, {}, {}};
    struct Case {
        const char* name;
        FlatExpr goal;
        std::optional<double> hadd;
    };
    const Case cases[] = {
        {"x = 3", {F(0), I(3), Op("==", {0, 1})}, 3.0},        // x <= 3 holds, 3 <= x needs 3
        {"not x <= 2", {F(0), I(2), Op("<=", {0, 1}), Op("not", {2})}, 3.0},
        {"not x < 2", {F(0), I(2), Op("<", {0, 1}), Op("not", {2})}, 2.0},
        {"not x = 0", {F(0), I(0), Op("==", {0, 1}), Op("not", {2})}, 1.0},  // 0 < x after one step
        {"not x = 2", {F(0), I(2), Op("==", {0, 1}), Op("not", {2})}, 0.0},  // x < 2 holds
    };
    const auto state = make_state({I(0)});
    for (const Case& c : cases) {
        t.goal = c.goal;
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), c.hadd) << c.name;
    }
}

TEST(Relaxation, NumericReasoningCanBeSwitchedOff) {
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
           {I(3), F(0), Op("<=", {0, 1})}, {}};
    const auto state = make_state({I(0)});
    // The goal becomes a plain condition of cost 1 that no operator achieves.
    const auto h = relaxation(t, RelaxationKind::HADD, false, false, true);
    EXPECT_EQ(h.eval(*state), 1.0);
    EXPECT_STREQ(h.name(), "hadd_no_numbers");
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 3.0);
    EXPECT_STREQ(relaxation(t, RelaxationKind::HFF).name(), "hff");
    EXPECT_STREQ(relaxation(t, RelaxationKind::HMAX, false, false, true).name(), "hmax_no_numbers");
}

TEST(Relaxation, NonLinearGoalLeafCostsOneButAddsNothingToTheRelaxedPlan) {
    // x * y <= 3 with x = y = 2.
    Task t{{"int", "int"}, {}, {plain_action(0, 1)}, {F(0), F(1), Op("*", {0, 1}), I(3), Op("<=", {2, 3})}, {}};
    const auto state = make_state({I(2), I(2)});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HMAX).eval(*state), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*state), 0.0);
}

TEST(Relaxation, HffBestSupporterTiesGoToTheLargerOperatorId) {
    // p comes at cost 1 from the single event of one action and from the first of two
    // events of another; the operator with the larger id (the larger action index)
    // supports p, and the relaxed plan counts all of its action's events.
    Effect p{0, {B(true)}};
    for (bool two_events_last : {true, false}) {
        Task t{{"bool"}, {}, {}, {F(0)}, {}};
        auto one = action_events(two_events_last ? 0 : 1, {event({}, {p})});
        auto two = action_events(two_events_last ? 1 : 0, {event({}, {p}), event({}, {})});
        t.events = {one, two};
        EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*make_state({B(false)})), two_events_last ? 2.0 : 1.0);
    }
}

TEST(Relaxation, HffOfADisjunctionFollowsTheCheapestOperandAndTheLaterOneOnTies) {
    // Or(p, q) is kept as [q, p, Or]; p comes from a two-event action, q from one-event
    // actions, at cost 1 or (with a longer chain) at cost 2.
    Effect p{0, {B(true)}}, q{1, {B(true)}};
    const FlatExpr goal{F(0), F(1), Op("or", {0, 1})};
    Task tie{{"bool", "bool"}, {}, {action_events(0, {event({}, {p}), event({}, {})}), action_events(1, {event({}, {q})})},
             goal, {}};
    EXPECT_EQ(relaxation(tie, RelaxationKind::HFF).eval(*make_state({B(false), B(false)})), 2.0);
    Task cheaper_q{{"bool", "bool"},
                   {},
                   {action_events(0, {event({}, {}), event({}, {p})}), action_events(1, {event({}, {q})})},
                   goal,
                   {}};
    EXPECT_EQ(relaxation(cheaper_q, RelaxationKind::HFF).eval(*make_state({B(false), B(false)})), 1.0);
}

TEST(Relaxation, ObjectFluentsAndNegatedObjectEqualities) {
    // Fluent 0 of type "loc" with objects a, b, c; the goal is not(at = a).
    Task t{{"loc"},
           {{"loc", {"a", "b", "c"}}},
           {action_events(0, {event({}, {Effect{0, {O("c")}}})})},
           {F(0), O("a"), Op("==", {0, 1}), Op("not", {2})},
           {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("b")})), 0.0);  // b is one of b, c
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("a")})), 1.0);  // move to c
    t.objects = {{"loc", {"a"}}};  // no other object: the condition is false
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("b")})), std::nullopt);
}

TEST(Relaxation, ReachableActionsNeedEveryOperatorReachable) {
    // Action 0 reaches everything; action 1's second event needs q, which nothing
    // gives; action 2's second event has a false condition and makes no operator.
    Task t{{"bool"},
           {},
           {plain_action(0, 2), action_events(1, {event({}, {}), event({F(0)}, {})}),
            action_events(2, {event({}, {}), event({B(false)}, {})})},
           {F(0)},
           {}};
    const auto h = relaxation(t, RelaxationKind::HFF);
    EXPECT_EQ(h.reachable_actions(*make_state({B(false)})), (std::vector<Action>{Action{0}, Action{2}}));
    EXPECT_EQ(h.reachable_actions(*make_state({B(true)})), (std::vector<Action>{Action{0}, Action{1}, Action{2}}));
}

TEST(Relaxation, CacheIsSharedBetweenCopiesAndKeyedByValuesAndProgressOnly) {
    // hff fails on a running action that has no events; the key ignores it, so a hit
    // shows that the stored value was returned without computing.
    Task t{{"bool"}, {}, {plain_action(0, 1)}, {F(0)}, {}};
    const auto clean = make_state({B(true)});
    const auto stray = make_state({B(true)}, {{42, 1}});
    stray->g = 5.0;

    const auto uncached = relaxation(t, RelaxationKind::HFF);
    EXPECT_THROW(uncached.eval(*stray), InternalError);

    const auto h = relaxation(t, RelaxationKind::HFF, true);
    const DeleteRelaxationHeuristic copy(h);
    EXPECT_EQ(copy.eval(*clean), 0.0);
    // A different next event of a listed action is another key: computed, so it fails.
    EXPECT_THROW(h.eval(*make_state({B(true)}, {{0, 1}, {42, 1}})), InternalError);
    EXPECT_EQ(h.eval(*stray), 0.0);
}

TEST(Relaxation, EvaluationErrorsPassUpAndAreNotCached) {
    // 1 / x <= 3 is not linear; with x = 0 its evaluation divides by zero.
    Task t{{"int"}, {}, {plain_action(0, 1)}, {I(1), F(0), Op("/", {0, 1}), I(3), Op("<=", {2, 3})}, {}};
    const auto h = relaxation(t, RelaxationKind::HADD, true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            h.eval(*make_state({I(0)}));
            ADD_FAILURE() << "no error";
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::ZeroDivisionError);
        }
    }
    EXPECT_EQ(h.eval(*make_state({I(1)})), 0.0);
}

TEST(Relaxation, NonNumericValueInALinearConditionIsAValueError) {
    // x := x + 1 lowers 3 <= x; a state holding an object for x cannot be weighed.
    Task t{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
           {I(3), F(0), Op("<=", {0, 1})}, {}};
    try {
        relaxation(t, RelaxationKind::HADD).eval(*make_state({O("a")}));
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ValueError);
    }
}

TEST(Relaxation, ConstructionRejectsBrokenTasks) {
    struct Case {
        const char* name;
        Task task;
    };
    const FlatExpr goal{F(0)};
    const Case cases[] = {
        {"effect beyond the fluents", {{"bool"}, {}, {action_events(0, {event({}, {Effect{1, {B(true)}}})})}, goal, {}}},
        {"two numeric effects on one fluent",
         {{"int"}, {}, {action_events(0, {event({}, {Effect{0, {I(1)}}, Effect{0, {I(2)}}})})}, goal, {}}},
        {"empty goal", {{"bool"}, {}, {plain_action(0, 1)}, {}, {}}},
        {"object type without objects",
         {{"loc", "loc"}, {{"other", {"a"}}}, {action_events(0, {event({}, {Effect{0, {F(1)}}})})}, goal, {}}},
    };
    for (const Case& c : cases)
        EXPECT_THROW(relaxation(c.task, RelaxationKind::HFF), InternalError) << c.name;

    // A leaf whose subtree names a node before it cannot be cut out: Overflow.
    Task overflow{{"int"}, {}, {plain_action(0, 1)}, {I(5), F(0), Op("-", {1, 0}), I(3), Op("<=", {2, 3})}, {}};
    try {
        relaxation(overflow, RelaxationKind::HFF);
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Exception);
        EXPECT_STREQ(e.what(), "Overflow");
    }
}

TEST(Relaxation, ConditionRepeatedAsEndConditionCountsOnce) {
    // q needs p (cost 1); with the repeat counted twice hadd would add p's cost twice.
    Event needs_p = event({F(0)}, {Effect{1, {B(true)}}});
    needs_p.end_conditions = {{F(0)}};
    Task t{{"bool", "bool"}, {}, {action_events(0, {event({}, {Effect{0, {B(true)}}})}), action_events(1, {needs_p})},
           {F(1)}, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({B(false), B(false)})), 2.0);
}

TEST(Relaxation, ActionWithoutEventsFailsAtEvaluation) {
    // Construction accepts it (no operator, no progress atoms); evaluating cannot.
    for (std::size_t fluents : {0, 1}) {
        Task t{std::vector<std::string>(fluents, "bool"), {}, {plain_action(0, 0)}, {B(true)}, {}};
        const auto h = relaxation(t, RelaxationKind::HADD);
        EXPECT_THROW(h.eval(*make_state(std::vector<ExpressionNode>(fluents, B(true)))), InternalError);
    }
}

TEST(Relaxation, ObjectEffectWithAConstantNeedsNoObjectsEntry) {
    Task t{{"loc"}, {}, {action_events(0, {event({}, {Effect{0, {O("b")}}})})}, {F(0), O("b"), Op("==", {0, 1})}, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("a")})), 1.0);
}

TEST(Relaxation, EffectValuesAreClassifiedByTheFluentType) {
    // Goal 10 <= x (10 - x <= 0) from x = 3; the numeric action needs p, which costs 1.
    // An increment of c lowers it by c per application, an assignment or a complex
    // effect counts once (admissible) or as a unit change (inadmissible); f := f is
    // the increment 0 and lowers nothing.
    struct Case {
        const char* name;
        FlatExpr value;
        std::optional<double> admissible, inadmissible;
    };
    const Case cases[] = {
        {"x := 2 + x", {I(2), F(0), Op("+", {0, 1})}, 5.0, 5.0},
        {"x := x - -3", {F(0), I(-3), Op("-", {0, 1})}, 4.0, 4.0},  // r = ceil(7 / 3) = 3
        {"x := 1 + 1", {I(1), I(1), Op("+", {0, 1})}, 2.0, 8.0},
        {"x := y + 1", {F(2), I(1), Op("+", {0, 1})}, 2.0, 8.0},
        {"x := x", {F(0)}, std::nullopt, std::nullopt},
        {"x := x + 0", {F(0), I(0), Op("+", {0, 1})}, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        Task t{{"int", "bool", "int"},
               {},
               {action_events(0, {event({}, {Effect{1, {B(true)}}})}),
                action_events(1, {event({F(1)}, {Effect{0, c.value}})})},
               {I(10), F(0), Op("<=", {0, 1})},
               {}};
        const auto state = make_state({I(3), B(false), I(0)});
        for (RelaxationKind kind : {RelaxationKind::HADD, RelaxationKind::HMAX}) {
            EXPECT_EQ(relaxation(t, kind, false, false).eval(*state), c.admissible) << c.name;
            EXPECT_EQ(relaxation(t, kind, false, true).eval(*state), c.inadmissible) << c.name;
        }
    }
}

TEST(Relaxation, BooleanAndObjectEffectsAddTheirAtoms) {
    // A value that is not a constant adds every atom the fluent could get.
    struct Case {
        const char* name;
        std::vector<std::string> types;
        ObjectsByType objects;
        FlatExpr value;
        FlatExpr goal;
        std::vector<ExpressionNode> init;
        std::optional<double> hadd;
    };
    const Case cases[] = {
        {"p := true gives p", {"bool", "bool"}, {}, {B(true)}, {F(0)}, {B(false), B(false)}, 1.0},
        {"p := true never gives not p", {"bool", "bool"}, {}, {B(true)}, {F(0), Op("not", {0})}, {B(true), B(false)},
         std::nullopt},
        {"p := false gives not p", {"bool", "bool"}, {}, {B(false)}, {F(0), Op("not", {0})}, {B(true), B(false)}, 1.0},
        {"p := false never gives p", {"bool", "bool"}, {}, {B(false)}, {F(0)}, {B(false), B(false)}, std::nullopt},
        {"p := q gives p", {"bool", "bool"}, {}, {F(1)}, {F(0)}, {B(false), B(false)}, 1.0},
        {"p := q gives not p", {"bool", "bool"}, {}, {F(1)}, {F(0), Op("not", {0})}, {B(true), B(false)}, 1.0},
        {"at := other gives every object", {"loc", "loc"}, {{"loc", {"a", "b", "c"}}}, {F(1)},
         {F(0), O("c"), Op("==", {0, 1})}, {O("a"), O("a")}, 1.0},
        {"at := b gives only b", {"loc", "loc"}, {{"loc", {"a", "b", "c"}}}, {O("b")},
         {F(0), O("c"), Op("==", {0, 1})}, {O("a"), O("a")}, std::nullopt},
    };
    for (const Case& c : cases) {
        Task t{c.types, c.objects, {action_events(0, {event({}, {Effect{0, c.value}})})}, c.goal, {}};
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state(c.init)), c.hadd) << c.name;
    }
}

TEST(Relaxation, StrictMarginCountsAssignmentsOnlyInTheInadmissibleVariant) {
    // Goal x < 3 from x = 6. A: x := x - 4 needs nothing (d = -4); B: x := 5 needs q,
    // which costs 3. Inadmissible: B's unit change d = -1 makes the margin -0.5, the
    // condition x - 2.5 <= 0, and A's repetitions ceil(3.5 / 4) = 1. Admissible: B is
    // listed but leaves the margin at -2, the condition x - 1 <= 0, and A needs
    // ceil(5 / 4) = 2; B offers 3 + 1 = 4 (admissible) or 3 + ceil(3.5) = 7.
    Task t{{"int", "bool"},
           {},
           {action_events(0, {event({}, {Effect{0, {F(0), I(4), Op("-", {0, 1})}}})}),
            action_events(1, {event({F(1)}, {Effect{0, {I(5)}}})}),
            action_events(2, {event({}, {}), event({}, {}), event({}, {Effect{1, {B(true)}}})})},
           {F(0), I(3), Op("<", {0, 1})},
           {}};
    const auto state = make_state({I(6), B(false)});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, true).eval(*state), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, false).eval(*state), 2.0);
    // x := x + 1 moves x < 3 the wrong way: it lowers nothing and leaves the margin.
    Task up{{"int"}, {}, {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
            {F(0), I(3), Op("<", {0, 1})}, {}};
    for (bool inadmissible : {false, true})
        EXPECT_EQ(relaxation(up, RelaxationKind::HADD, false, inadmissible).eval(*make_state({I(6)})), std::nullopt);
}

TEST(Relaxation, LinearConditionsFromTheirPolynomials) {
    // Each goal with the operators that can lower it, from the state (x0, x1).
    const FlatExpr x0_down{F(0), I(2), Op("-", {0, 1})};
    const FlatExpr x1_up{F(1), I(3), Op("+", {0, 1})};
    struct Case {
        const char* name;
        FlatExpr goal;
        std::vector<Effect> effects;  // of one unconditioned event each
        std::vector<ExpressionNode> init;
        bool inadmissible;
        std::optional<double> hadd;
        const char* type1 = "int";
    };
    const Case cases[] = {
        // x0 - 5 <= 0 from 11, x0 := x0 - 2: r = ceil(6 / 2)
        {"x0 <= 5", {F(0), I(5), Op("<=", {0, 1})}, {Effect{0, x0_down}}, {I(11), I(0)}, false, 3.0},
        // 2 x0 - x1 + 2 <= 0 at (3, 0) is 8; x1 := x1 + 3 has d = -3: r = 3
        {"2 (x0 + 1) <= x1",
         {I(2), F(0), I(1), Op("+", {1, 2}), Op("*", {0, 3}), F(1), Op("<=", {4, 5})},
         {Effect{1, x1_up}},
         {I(3), I(0)},
         false,
         3.0},
        // ... and x0 := x0 - 2 has d = -4: r = 2
        {"2 (x0 + 1) <= x1, both",
         {I(2), F(0), I(1), Op("+", {1, 2}), Op("*", {0, 3}), F(1), Op("<=", {4, 5})},
         {Effect{1, x1_up}, Effect{0, x0_down}},
         {I(3), I(0)},
         false,
         2.0},
        // 0 x1 drops fluent 1: an assignment to x1 does not lower the condition
        {"0 x1 + x0 <= 3",
         {I(0), F(1), Op("*", {0, 1}), F(0), Op("+", {2, 3}), I(3), Op("<=", {4, 5})},
         {Effect{1, {I(5)}}},
         {I(7), I(0)},
         true,
         std::nullopt},
        // x0 - x0 <= 0 always holds; x0 - x0 < 0 never does and has nothing to lower
        {"x0 - x0 <= 0", {F(0), F(0), Op("-", {0, 1}), I(0), Op("<=", {2, 3})}, {Effect{0, x0_down}}, {I(1), I(0)},
         false, 0.0},
        {"x0 - x0 < 0", {F(0), F(0), Op("-", {0, 1}), I(0), Op("<", {2, 3})}, {Effect{0, x0_down}}, {I(1), I(0)},
         false, std::nullopt},
        // x1 - (x0 + x1) + 3 <= 0 is 3 - x0 <= 0: x1 goes, and assigning it lowers nothing;
        // from 3, x0 := x0 + 1 has d = -1
        {"x1 - (x0 + x1) + 3 <= 0",
         {F(1), F(0), F(1), Op("+", {1, 2}), Op("-", {0, 3}), I(3), Op("+", {4, 5}), I(0), Op("<=", {6, 7})},
         {Effect{0, {F(0), I(1), Op("+", {0, 1})}}, Effect{1, {I(5)}}},
         {I(0), I(4)},
         false,
         3.0},
        // not linear: a plain condition of cost 1 that no operator gives
        {"x0 * x1 <= 3", {F(0), F(1), Op("*", {0, 1}), I(3), Op("<=", {2, 3})}, {Effect{0, x0_down}}, {I(2), I(2)},
         false, 1.0},
        {"x0 / x1 <= 3", {F(0), F(1), Op("/", {0, 1}), I(3), Op("<=", {2, 3})}, {Effect{0, x0_down}}, {I(10), I(2)},
         false, 1.0},
        {"not x0 * x1 = 3", {F(0), F(1), Op("*", {0, 1}), I(3), Op("==", {2, 3}), Op("not", {4})},
         {Effect{0, x0_down}}, {I(1), I(3)}, false, 1.0},
        // x0 = x1 is numeric whatever the fluents' types: x1 - x0 <= 0 from 3, d = -1
        {"x0 = x1", {F(0), F(1), Op("==", {0, 1})}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}}, {I(0), I(3)}, false,
         3.0, "loc"},
    };
    for (const Case& c : cases) {
        Task t{{"int", c.type1}, {}, {}, c.goal, {}};
        for (std::size_t i = 0; i < c.effects.size(); ++i)
            t.events.push_back(action_events(i, {event({}, {c.effects[i]})}));
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, c.inadmissible).eval(*make_state(c.init)), c.hadd)
            << c.name;
    }
}

TEST(Relaxation, NonLinearConditionDividingByZeroFailsAtEvaluation) {
    Task t{{"int"}, {}, {plain_action(0, 1)}, {F(0), I(0), Op("/", {0, 1}), I(3), Op("<=", {2, 3})}, {}};
    try {
        relaxation(t, RelaxationKind::HADD).eval(*make_state({I(1)}));
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ZeroDivisionError);
    }
}

TEST(Relaxation, LinearConditionAtZeroInFloatsNeedsNoRepetition) {
    // x <= 2^53 with x = 2^53 + 1 fails exactly, but x rounds to 2^53 as a float, so
    // the condition's value is 0: r = 0 and the offer is the precondition cost alone.
    const std::int64_t big = std::int64_t{1} << 53;
    Task t{{"int", "bool"},
           {},
           {action_events(0, {event({}, {Effect{1, {B(true)}}})}),
            action_events(1, {event({F(1)}, {Effect{0, {F(0), I(1), Op("-", {0, 1})}}})})},
           {F(0), I(big), Op("<=", {0, 1})},
           {}};
    const auto state = make_state({I(big + 1), B(false)});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HMAX).eval(*state), 1.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*state), 2.0);
}

TEST(Relaxation, HffSupporterOfALinearConditionReachedAtZeroIsTheLargestIdOfItsFirstOffers) {
    // x <= 2^53 fails exactly at x = 2^53 + 1 but is 0 in floats, so an operator that
    // lowers x offers its precondition cost. A one-event action and the first event of a
    // two-event action both lower x at cost 0; p, the goal, needs x <= 2^53. Of equal
    // offers the larger operator id (the larger action index) supports the condition,
    // and the relaxed plan counts all of its action's events besides p's.
    const std::int64_t big = std::int64_t{1} << 53;
    const FlatExpr lower_x{F(0), I(1), Op("-", {0, 1})};
    for (bool two_events_last : {true, false}) {
        Task t{{"int", "bool"}, {}, {}, {F(1)}, {}};
        auto one = action_events(two_events_last ? 0 : 1, {event({}, {Effect{0, lower_x}})});
        auto two = action_events(two_events_last ? 1 : 0, {event({}, {Effect{0, lower_x}}), event({}, {})});
        auto p = action_events(2, {event({F(0), I(big), Op("<=", {0, 1})}, {Effect{1, {B(true)}}})});
        t.events = {one, two, p};
        const auto state = make_state({I(big + 1), B(false)});
        EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*state), two_events_last ? 3.0 : 2.0) << two_events_last;
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 1.0) << two_events_last;
    }
}

TEST(Relaxation, NegatedObjectEqualityRule) {
    // not(at = b) for fluent 0 of type "loc", from at = b.
    const FlatExpr goal{F(0), O("b"), Op("==", {0, 1}), Op("not", {2})};
    const FlatExpr object_first{O("b"), F(0), Op("==", {0, 1}), Op("not", {2})};
    const Effect to_c{0, {O("c")}};
    struct Case {
        const char* name;
        ObjectsByType objects;
        FlatExpr goal;
        bool no_numbers;
        std::optional<double> hadd;
    };
    const Case cases[] = {
        {"a, b, c: at = a or at = c", {{"loc", {"a", "b", "c"}}}, goal, false, 1.0},
        {"b, c: at = c", {{"loc", {"b", "c"}}}, goal, false, 1.0},
        {"b alone: false", {{"loc", {"b"}}}, goal, false, std::nullopt},
        {"rule applies without numeric reasoning", {{"loc", {"b", "c"}}}, goal, true, 1.0},
        // The leaf stays as it is: no atom ever makes it hold.
        {"type without objects", {{"other", {"a"}}}, goal, false, std::nullopt},
        {"object first", {{"loc", {"a", "b", "c"}}}, object_first, false, std::nullopt},
    };
    for (const Case& c : cases) {
        Task t{{"loc"}, c.objects, {action_events(0, {event({}, {to_c})})}, c.goal, {}};
        EXPECT_EQ(relaxation(t, RelaxationKind::HADD, false, false, c.no_numbers).eval(*make_state({O("b")})), c.hadd)
            << c.name;
    }
    // With only a and b, at := c does not help: at = a is the one way out of b.
    Task t{{"loc"}, {{"loc", {"a", "b"}}}, {action_events(0, {event({}, {to_c})})}, goal, {}};
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*make_state({O("b")})), std::nullopt);
}

TEST(Relaxation, HmaxAchieversOfALinearConditionCoverEarlierOffers) {
    // 10 <= x from x = 3. A: x := x + 7 (r = 1) needs q, which costs 3; B: x := x + 1
    // (r = 7) needs nothing. hadd takes the cheaper offer, min(0 + 7, 3 + 1); hmax
    // offers r + the cheapest precondition cost among the achievers met so far, so
    // A's offer, made after B's, is 1 + 0.
    Task t{{"int", "bool"},
           {},
           {action_events(0, {event({F(1)}, {Effect{0, {F(0), I(7), Op("+", {0, 1})}}})}),
            action_events(1, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})}),
            action_events(2, {event({}, {}), event({}, {}), event({}, {Effect{1, {B(true)}}})})},
           {I(10), F(0), Op("<=", {0, 1})},
           {}};
    const auto state = make_state({I(3), B(false)});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), 4.0);
    EXPECT_EQ(relaxation(t, RelaxationKind::HMAX).eval(*state), 1.0);
}

// ---------------------------------------------------------------------------
// Explicit-value hmax

HMaxExplicit explicit_hmax(const Task& t, bool caching = false) {
    return HMaxExplicit(t.actions.empty() ? actions_of(t.events) : t.actions, t.types, t.events, t.goal, caching);
}

TEST(ExplicitHmax, RoundsUntilTheGoalCanHold) {
    const Effect p{0, {B(true)}};
    const FlatExpr inc{F(1), I(1), Op("+", {0, 1})};
    struct Case {
        const char* name;
        Task task;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
        std::optional<double> value;
    };
    const Case cases[] = {
        {"goal without achiever", {{"bool", "int"}, {}, {plain_action(0, 1)}, {F(0)}, {}}, {}, std::nullopt},
        {"one event achieves", {{"bool", "int"}, {}, {action_events(0, {event({}, {p})})}, {F(0)}, {}}, {}, 1.0},
        {"second event achieves, idle",
         {{"bool", "int"}, {}, {action_events(0, {event({}, {}), event({}, {p})})}, {F(0)}, {}},
         {},
         2.0},
        {"second event achieves, running",
         {{"bool", "int"}, {}, {action_events(0, {event({}, {}), event({}, {p})})}, {F(0)}, {}},
         {{0, 1}},
         1.0},
        {"x := x + 1 to 3 <= x",
         {{"bool", "int"}, {}, {action_events(0, {event({}, {Effect{1, inc}})})}, {I(3), F(1), Op("<=", {0, 1})}, {}},
         {},
         3.0},
        {"false condition makes no operator",
         {{"bool", "int"}, {}, {action_events(0, {event({B(false)}, {p})})}, {F(0)}, {}},
         {},
         std::nullopt},
        {"true condition is no precondition",
         {{"bool", "int"}, {}, {action_events(0, {event({B(true)}, {p})})}, {F(0)}, {}},
         {},
         1.0},
    };
    for (const Case& c : cases) {
        const auto state = make_state({B(false), I(0)}, c.running);
        EXPECT_EQ(explicit_hmax(c.task).eval(*state), c.value) << c.name;
    }
}

TEST(ExplicitHmax, RunningActionDelaysAGoalThatAlreadyHolds) {
    Task t{{"bool"}, {}, {plain_action(0, 2)}, {F(0)}, {}};
    EXPECT_EQ(explicit_hmax(t).eval(*make_state({B(true)})), 0.0);
    EXPECT_EQ(explicit_hmax(t).eval(*make_state({B(true)}, {{0, 1}})), 1.0);
}

TEST(ExplicitHmax, ActionWithoutEventsIsRefused) {
    // Its idle fluent would lie outside its own (empty) range of progress fluents.
    Task t{{}, {}, {plain_action(0, 0)}, {B(true)}, {}};
    EXPECT_THROW(explicit_hmax(t), InternalError);
}

TEST(ExplicitHmax, NoFluentsIsADeadEnd) {
    Task t{{}, {}, {}, {B(true)}, {}};
    EXPECT_EQ(explicit_hmax(t).eval(*make_state({})), std::nullopt);
}

TEST(ExplicitHmax, UnboundedFluentThatTheGoalIgnoresEndsAsADeadEnd) {
    // x := x + 1 grows forever; the goal p has no achiever.
    Task t{{"bool", "int"}, {}, {action_events(0, {event({}, {Effect{1, {F(1), I(1), Op("+", {0, 1})}}})})}, {F(0)}, {}};
    EXPECT_EQ(explicit_hmax(t).eval(*make_state({B(false), I(0)})), std::nullopt);
}

TEST(ExplicitHmax, GoalThatDependsOnAGrowingFluentIsStillFound) {
    // p := (5 <= x) next to x := x + 1: p can become true once 5 is possible for x.
    Task t{{"bool", "int"},
           {},
           {action_events(0, {event({}, {Effect{1, {F(1), I(1), Op("+", {0, 1})}}})}),
            action_events(1, {event({}, {Effect{0, {I(5), F(1), Op("<=", {0, 1})}}})})},
           {F(0)},
           {}};
    EXPECT_EQ(explicit_hmax(t).eval(*make_state({B(false), I(0)})), 6.0);
}

TEST(ExplicitHmax, CacheIsSharedBetweenCopiesAndKeyedByTheListedActions) {
    // Action 0 has events but is not listed in `actions`, so its progress is not part
    // of the key: a running state then hits the idle state's entry.
    const Effect p{0, {B(true)}};
    Task t{{"bool"}, {}, {action_events(0, {event({}, {}), event({}, {p})})}, {F(0)}, {Action{5}}};
    const auto idle = make_state({B(false)});
    const auto running = make_state({B(false)}, {{0, 1}});
    EXPECT_EQ(explicit_hmax(t).eval(*running), 1.0);

    const auto h = explicit_hmax(t, true);
    const HMaxExplicit copy(h);
    EXPECT_EQ(h.eval(*idle), 2.0);
    EXPECT_EQ(copy.eval(*running), 2.0);

    // Listed, the progress separates the two.
    t.actions = {Action{0}};
    const auto listed = explicit_hmax(t, true);
    EXPECT_EQ(listed.eval(*idle), 2.0);
    EXPECT_EQ(listed.eval(*running), 1.0);

    // Dead ends are stored as well: event 0 can never happen, so only a running
    // action reaches p, yet the idle state's entry answers for it.
    Task dead{{"bool"}, {}, {action_events(0, {event({B(false)}, {}), event({}, {p})})}, {F(0)}, {Action{5}}};
    EXPECT_EQ(explicit_hmax(dead).eval(*running), 1.0);
    const auto hd = explicit_hmax(dead, true);
    EXPECT_EQ(hd.eval(*idle), std::nullopt);
    EXPECT_EQ(HMaxExplicit(hd).eval(*running), std::nullopt);
}

TEST(ExplicitHmax, EvaluationErrorsPassThroughAndBrokenInputIsAnInternalError) {
    // x := 1 / y with y possibly 0: the evaluator's own error, as from the other heuristics.
    Task division{{"int", "int", "bool"},
                  {},
                  {action_events(0, {event({}, {Effect{0, {I(1), F(1), Op("/", {0, 1})}}})})},
                  {F(2)},
                  {}};
    try {
        explicit_hmax(division, true).eval(*make_state({I(0), I(0), B(false)}));
        ADD_FAILURE() << "no error";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ZeroDivisionError);
        EXPECT_STREQ(e.what(), "division by zero");
    }
    // A state with more values than the heuristic has fluents.
    Task small{{"bool"}, {}, {}, {F(0)}, {}};
    EXPECT_THROW(explicit_hmax(small).eval(*make_state({B(true), B(true)})), InternalError);
    // An empty goal fails at its first goal test.
    Task empty_goal{{"bool"}, {}, {}, {}, {}};
    EXPECT_THROW(explicit_hmax(empty_goal).eval(*make_state({B(true)})), InternalError);
}

TEST(ExplicitHmax, StopsOnAnExpiredTimeLimitWhereTheOtherEnginesFinish) {
    // x := x + 1 with the goal x <= -1: the explicit rounds never end.
    Task t{{"int"},
           {},
           {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
           {F(0), I(-1), Op("<=", {0, 1})},
           {}};
    struct Zero final : CustomCallable {
        std::optional<double> call(StatePtr) const override { return 0.0; }
        std::unique_ptr<CustomCallable> clone() const override { return std::make_unique<Zero>(); }
    };
    Heuristic explicit_h(explicit_hmax(t), false);
    Heuristic relaxed(relaxation(t, RelaxationKind::HMAX), false);
    Heuristic custom(CustomHeuristic(std::make_unique<Zero>()), false);
    const auto state = make_state({I(0)});
    const TimeLimit expired(0.0f, TimeLimit::Clock::now() - std::chrono::seconds(1));

    try {
        explicit_h.eval_state(*state, &expired);
        ADD_FAILURE() << "no time-out";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::TimeoutError);
        EXPECT_STREQ(e.what(), "Timeout");
    }
    EXPECT_EQ(relaxed.eval_state(*state, &expired), relaxed.eval_state(*state));
    EXPECT_EQ(custom.eval_state(*state, &expired), 0.0);
}

TEST(ExplicitHmax, EndlessGrowthStopsWhenTheMachineCannotCoverTheNextDoubling) {
    // x := x + 1 with the goal x <= -1 and no time limit: the sets grow until the
    // machine has no room left, which the probe says at once.
    Task t{{"int"},
           {},
           {action_events(0, {event({}, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}})})},
           {F(0), I(-1), Op("<=", {0, 1})},
           {}};
    struct ProbeGuard {
        ProbeGuard() {
            HMaxExplicit::set_memory_probe_for_testing([]() -> std::optional<std::size_t> { return 0; });
        }
        ~ProbeGuard() { HMaxExplicit::set_memory_probe_for_testing(nullptr); }
    } guard;
    const HMaxExplicit h = explicit_hmax(t);
    const auto state = make_state({I(0)});
    EXPECT_THROW(h.eval(*state), std::bad_alloc);
    // A failed evaluation leaves the heuristic sound: the next one fails the same way.
    EXPECT_THROW(h.eval(*state), std::bad_alloc);
}

// ---------------------------------------------------------------------------
// Explicit-value hmax against a plain evaluation that enumerates every combination
// of possible values again in every round.

// What an evaluation gave: a value, a dead end, or an error's kind and text; or, from
// the plain evaluation alone, nothing because it ran out of rounds.
struct Outcome {
    bool finished = true;
    std::optional<double> value;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    if (!o.finished) return out << "unfinished";
    if (!o.error.empty()) return out << "error " << o.error;
    if (!o.value) return out << "dead end";
    return out << *o.value;
}

template <class F>
Outcome outcome_of(F&& evaluate) {
    Outcome o;
    try {
        o.value = evaluate();
    } catch (const InternalError& e) {
        o.error = std::string("internal: ") + e.what();
    } catch (const Error& e) {
        o.error = "error " + std::to_string(static_cast<int>(e.kind())) + ": " + e.what();
    }
    return o;
}

// A goal whose root can only be a number or an object is refused at every evaluation,
// as the search space's goal test refuses it.
bool refused_goal(const Task& t) {
    if (t.goal.empty()) return false;
    const ExpressionNode& root = t.goal.back();
    if (root.kind() == NodeKind::Fluent)
        return root.fluent_index() < t.types.size() && t.types[root.fluent_index()] != "bool";
    return root.is_number() || root.kind() == NodeKind::Object || root.kind() == NodeKind::Plus ||
           root.kind() == NodeKind::Minus || root.kind() == NodeKind::Times || root.kind() == NodeKind::Div;
}

const Outcome kRefusedGoal{true, std::nullopt, "error 0: The goal is not a boolean expression!"};

class PlainExplicitHmax {
  public:
    explicit PlainExplicitHmax(const Task& t) : refused_goal_(refused_goal(t)) {
        ExpressionManager manager;
        n_ = t.types.size();
        std::vector<FlatExpr> idle;
        for (const auto& [a, list] : t.events) {
            const std::uint64_t k = list.size();
            progress_.push_back({a, n_, k});
            idle.push_back({F(n_ + k - 1)});
            FlatExpr previous{F(n_ + k - 1)};
            for (std::uint64_t i = 0; i < k; ++i) {
                Op op;
                op.pre.push_back(previous);
                for (FlatExpr& c : heuristics_detail::distinct_event_conditions(list[i].second, manager)) {
                    if (c.empty() || (c.size() == 1 && c[0].is_true())) continue;
                    for (FlatExpr& part : split_expression(c)) op.pre.push_back(std::move(part));
                }
                op.effects.push_back(Effect{n_ + i, {B(true)}});
                for (const Effect& e : list[i].second.effects) op.effects.push_back(e);
                const bool never = std::any_of(op.pre.begin(), op.pre.end(),
                                               [](const FlatExpr& c) { return c.size() == 1 && c[0].is_false(); });
                if (!never) ops_.push_back(std::move(op));
                previous = {F(n_ + i)};
            }
            n_ += k;
        }
        goal_ = split_expression(t.goal);
        goal_.insert(goal_.end(), idle.begin(), idle.end());
        find_goal_relevant();
    }

    // Gives up after `max_rounds` rounds, or when a fluent has too many values.
    Outcome eval(const State& state, std::uint32_t max_rounds) const {
        if (refused_goal_) return kRefusedGoal;
        return outcome_of([&] { return run(state, max_rounds); });
    }

  private:
    struct Op {
        std::vector<FlatExpr> pre;
        std::vector<Effect> effects;
    };
    struct Progress {
        Action action;
        std::uint64_t first, count;
    };
    using Sets = std::vector<std::vector<ExpressionNode>>;
    struct GaveUp {};

    static std::vector<std::uint64_t> fluents_of(const FlatExpr& e) {
        std::vector<std::uint64_t> out;
        for (std::uint64_t f : get_fluents(e))
            if (std::find(out.begin(), out.end(), f) == out.end()) out.push_back(f);
        return out;
    }
    // Small tasks only: the plain evaluation gives up on large value sets.
    static constexpr std::size_t kMaxValues = 200;
    static bool add(std::vector<ExpressionNode>& set, const ExpressionNode& v) {
        if (std::find(set.begin(), set.end(), v) != set.end()) return false;
        if (set.size() == kMaxValues) throw GaveUp{};
        set.push_back(v);
        return true;
    }

    // The goal's fluents, and those that feed an effect on one of them.
    void find_goal_relevant() {
        relevant_.assign(n_, false);
        for (const FlatExpr& c : goal_)
            for (std::uint64_t f : fluents_of(c)) relevant_[f] = true;
        for (bool grew = true; grew;) {
            grew = false;
            for (const Op& op : ops_) {
                std::vector<std::uint64_t> feeders;
                for (const Effect& e : op.effects) {
                    if (!relevant_[e.fluent]) continue;
                    for (std::uint64_t f : fluents_of(e.value)) feeders.push_back(f);
                    for (const FlatExpr& c : op.pre)
                        for (std::uint64_t f : fluents_of(c)) feeders.push_back(f);
                }
                for (std::uint64_t f : feeders) {
                    grew = grew || !relevant_[f];
                    relevant_[f] = true;
                }
            }
        }
    }

    // Every combination of one possible value per fluent of e, the last fluent
    // varying fastest, until visit returns true.
    template <class Visit>
    static bool each_value(const FlatExpr& e, const Sets& possible, Visit&& visit) {
        const std::vector<std::uint64_t> vars = fluents_of(e);
        for (std::uint64_t f : vars)
            if (possible[f].empty()) return false;
        std::vector<std::size_t> at(vars.size(), 0);
        for (;;) {
            FluentAssignments source;
            for (std::size_t i = 0; i < vars.size(); ++i) source.assign(vars[i], possible[vars[i]][at[i]]);
            if (visit(internal_evaluate(e, source))) return true;
            std::size_t i = vars.size();
            for (;;) {
                if (i == 0) return false;
                --i;
                if (++at[i] < possible[vars[i]].size()) break;
                at[i] = 0;
            }
        }
    }

    using Known = std::vector<std::pair<FlatExpr, bool>>;
    static bool can_be_true(const std::vector<FlatExpr>& conditions, const Sets& possible,
                            const std::vector<bool>& changed, Known& known) {
        for (const FlatExpr& c : conditions) {
            auto it = std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == c; });
            if (it != known.end() && it->second) continue;
            if (it != known.end()) {
                const std::vector<std::uint64_t> vars = fluents_of(c);
                if (std::none_of(vars.begin(), vars.end(), [&](std::uint64_t f) { return changed[f]; }))
                    return false;
            }
            const bool holds = each_value(c, possible, [](const ExpressionNode& v) { return v.is_true(); });
            if (it != known.end()) it->second = holds;
            else known.emplace_back(c, holds);
            if (!holds) return false;
        }
        return true;
    }

    std::optional<double> run(const State& state, std::uint32_t max_rounds) const {
        Sets possible(n_);
        std::uint64_t i = 0;
        for (const ExpressionNode& v : state.values) possible[i++] = {v};
        for (const Progress& p : progress_) {
            auto it = state.todo.find(p.action);
            const std::uint64_t last = it != state.todo.end() ? it->second.next_event - 1 : p.count - 1;
            for (std::uint64_t q = 0; q < p.count; ++q) possible[p.first + q] = {B(q == last)};
        }
        std::vector<bool> changed(n_, true), enabled(ops_.size(), false);
        Known known;
        for (std::uint32_t round = 0; std::find(changed.begin(), changed.end(), true) != changed.end(); ++round) {
            if (round == max_rounds) throw GaveUp{};
            if (can_be_true(goal_, possible, changed, known)) return round;
            Sets made(n_);
            for (std::size_t o = 0; o < ops_.size(); ++o) {
                const Op& op = ops_[o];
                auto touches = [&](const auto& exprs, auto&& expr_of) {
                    for (const auto& x : exprs)
                        for (std::uint64_t f : fluents_of(expr_of(x)))
                            if (changed[f]) return true;
                    return false;
                };
                if (enabled[o]) {
                    if (!touches(op.effects, [](const Effect& e) -> const FlatExpr& { return e.value; })) continue;
                } else {
                    if (!touches(op.pre, [](const FlatExpr& c) -> const FlatExpr& { return c; })) continue;
                    if (!can_be_true(op.pre, possible, changed, known)) continue;
                    enabled[o] = true;
                }
                for (const Effect& e : op.effects)
                    each_value(e.value, possible, [&](const ExpressionNode& v) {
                        add(made[e.fluent], v);
                        return false;
                    });
            }
            bool relevant = false;
            for (std::uint64_t f = 0; f < n_; ++f) {
                changed[f] = false;
                for (const ExpressionNode& v : made[f]) changed[f] = add(possible[f], v) || changed[f];
                relevant = relevant || (changed[f] && relevant_[f]);
            }
            if (!relevant && std::find(changed.begin(), changed.end(), true) != changed.end()) return std::nullopt;
        }
        return std::nullopt;
    }

  public:
    Outcome eval_or_give_up(const State& state, std::uint32_t max_rounds) const {
        try {
            return eval(state, max_rounds);
        } catch (const GaveUp&) {
            return Outcome{false, std::nullopt, ""};
        }
    }

  private:
    bool refused_goal_;
    std::uint64_t n_ = 0;
    std::vector<Progress> progress_;
    std::vector<FlatExpr> goal_;
    std::vector<Op> ops_;
    std::vector<bool> relevant_;
};

// Random small tasks: a few int and bool fluents, actions of one or two events with
// random conditions and effects (counters, sums and products of fluents, divisions
// that may meet 0, the odd arithmetic on a bool), and a random goal.
class RandomTasks {
  public:
    explicit RandomTasks(std::uint32_t seed) : rng_(seed) {}

    Task task() {
        Task t;
        numeric_.clear();
        const int fluents = pick(1, 4);
        for (int f = 0; f < fluents; ++f) {
            numeric_.push_back(chance(0.6));
            t.types.push_back(numeric_.back() ? "int" : "bool");
        }
        const int actions = pick(1, 3);
        for (int a = 0; a < actions; ++a) {
            std::vector<Event> events;
            const int count = chance(0.3) ? 2 : 1;
            for (int e = 0; e < count; ++e) {
                Event ev;
                if (chance(0.6)) ev.conditions = condition(1);
                if (chance(0.15)) ev.end_conditions.push_back(condition(0));
                const int effects = pick(0, 2);
                for (int k = 0; k < effects; ++k) {
                    const std::uint64_t f = pick(0, fluents - 1);
                    FlatExpr value = !numeric_[f] ? condition(1) : chance(0.4) ? step(f) : number(2);
                    ev.effects.push_back(Effect{f, std::move(value)});
                }
                events.push_back(std::move(ev));
            }
            t.events.push_back(action_events(a, std::move(events)));
        }
        t.goal = chance(0.5) ? conjunction() : condition(2);
        return t;
    }

    StateBox state(const Task& t) {
        std::vector<ExpressionNode> values;
        for (bool numeric : numeric_)
            values.push_back(numeric ? (chance(0.1) ? R(1, 2) : I(pick(-1, 3))) : B(chance(0.5)));
        std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
        for (const auto& [a, list] : t.events)
            if (list.size() > 1 && chance(0.4)) running.emplace_back(a.idx, 1);
        return make_state(std::move(values), running);
    }

  private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    std::uint64_t fluent(bool numeric) {
        std::vector<std::uint64_t> kind;
        for (std::uint64_t f = 0; f < numeric_.size(); ++f)
            if (numeric_[f] == numeric || chance(0.05)) kind.push_back(f);
        if (kind.empty()) return pick(0, static_cast<int>(numeric_.size()) - 1);
        return kind[pick(0, static_cast<int>(kind.size()) - 1)];
    }

    struct Builder {
        FlatExpr nodes;
        NodeIndex add(ExpressionNode n) {
            nodes.push_back(std::move(n));
            return nodes.size() - 1;
        }
    };
    NodeIndex number(Builder& b, int depth) {
        const int choice = pick(0, depth > 0 ? 19 : 11);
        if (choice < 5) return b.add(I(pick(-1, 3)));
        if (choice < 12) return b.add(F(fluent(true)));
        static const char* const kinds[] = {"+", "+", "+", "-", "-", "*", "*", "/"};
        const NodeIndex l = number(b, depth - 1);
        const NodeIndex r = number(b, depth - 1);
        return b.add(Op(kinds[choice - 12], {l, r}));
    }
    // f + 1 or f + 2: a counter.
    FlatExpr step(std::uint64_t f) { return {F(f), I(pick(1, 2)), Op("+", {0, 1})}; }
    NodeIndex boolean(Builder& b, int depth) {
        const int choice = pick(0, depth > 0 ? 5 : 2);
        if (choice == 0) return b.add(B(chance(0.7)));
        if (choice == 1) return b.add(F(fluent(false)));
        if (choice == 2 || choice == 3) {
            static const char* const kinds[] = {"<=", "<", "=="};
            const NodeIndex l = number(b, 1);
            const NodeIndex r = number(b, 1);
            return b.add(Op(kinds[pick(0, 2)], {l, r}));
        }
        if (choice == 4) {
            const NodeIndex x = boolean(b, depth - 1);
            return b.add(Op("not", {x}));
        }
        const NodeIndex l = boolean(b, depth - 1);
        const NodeIndex r = boolean(b, depth - 1);
        return b.add(Op(chance(0.5) ? "and" : "or", {l, r}));
    }
    FlatExpr number(int depth) {
        Builder b;
        number(b, depth);
        return b.nodes;
    }
    FlatExpr condition(int depth) {
        Builder b;
        boolean(b, depth);
        return b.nodes;
    }
    FlatExpr conjunction() {
        Builder b;
        std::vector<NodeIndex> parts;
        for (int i = pick(2, 3); i > 0; --i) {
            if (chance(0.5)) {
                // A threshold on a numeric fluent: c <= x.
                const NodeIndex c = b.add(I(pick(2, 6)));
                const NodeIndex x = b.add(F(fluent(true)));
                parts.push_back(b.add(Op("<=", {c, x})));
            } else {
                parts.push_back(boolean(b, 1));
            }
        }
        b.add(Op("and", parts));
        return b.nodes;
    }

    std::mt19937 rng_;
    std::vector<bool> numeric_;
};

// ---------------------------------------------------------------------------
// Delete relaxation against a plain evaluation of the same relaxed task

// The relaxed task evaluated the plain way: the state's atoms interned into a copy of
// the task's manager, then costs propagated in rounds, each round applying, in
// increasing id, the operators with a leaf among the handles improved in the last one,
// whose precondition cost strictly dropped; improvements take effect in the next round.
class PlainRelaxation {
  public:
    PlainRelaxation(const Task& t, RelaxationKind kind, bool inadmissible, bool no_numbers)
        : task_(relaxation::build_relaxed_task(t.actions.empty() ? actions_of(t.events) : t.actions, t.types,
                                               t.objects, t.events, t.goal, inadmissible, no_numbers, kind)),
          refused_goal_(refused_goal(t)) {}

    Outcome eval(const State& state) const {
        if (refused_goal_) return kRefusedGoal;
        return outcome_of([&] { return run(state, nullptr); });
    }

    std::vector<Action> reachable_actions(const State& state) const {
        std::vector<std::uint32_t> ids;
        run(state, &ids);
        std::vector<Action> out;
        for (const relaxation::Operator& op : task_.operators) {
            if (std::find(out.begin(), out.end(), op.action) != out.end()) continue;
            bool all = true;
            for (const relaxation::Operator& other : task_.operators)
                if (other.action == op.action && std::find(ids.begin(), ids.end(), other.id) == ids.end()) all = false;
            if (all) out.push_back(op.action);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    static constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
    static bool present(double c) { return !std::isnan(c); }
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    static Expression atom(ExpressionManager& m, std::uint64_t f, const ExpressionNode& v) {
        if (v.is_true()) return m.put(FlatExpr{F(f)});
        if (v.is_false()) return m.put(FlatExpr{F(f), Op("not", {0})});
        return m.put(FlatExpr{F(f), v, Op("==", {0, 1})});
    }

    double cost(const relaxation::HeuristicExpression& c, const std::vector<double>& costs) const {
        QV_REQUIRE(!c.entries.empty(), "the cost of a condition without entries");
        std::vector<double> stack;
        for (const relaxation::HNode& e : c.entries) {
            if (e.kind == relaxation::HNode::Kind::Leaf) {
                stack.push_back(costs[e.value]);
                continue;
            }
            std::vector<double> operands(stack.end() - static_cast<std::ptrdiff_t>(e.value), stack.end());
            stack.resize(stack.size() - e.value);
            double r;
            if (e.kind == relaxation::HNode::Kind::And) {
                r = 0.0;
                for (std::size_t i = operands.size(); i-- > 0;) {
                    if (!present(operands[i])) {
                        r = kAbsent;
                        break;
                    }
                    r = task_.kind == RelaxationKind::HMAX ? std::max(r, operands[i]) : r + operands[i];
                }
            } else {
                r = std::numeric_limits<double>::max();
                for (double x : operands)
                    if (present(x)) r = std::min(r, x);
                if (r == std::numeric_limits<double>::max()) r = kAbsent;
            }
            stack.push_back(r);
        }
        return stack.back();
    }

    // Every leaf without disjunctions; else, of each Or, the cheapest operand (the
    // later one on ties).
    std::vector<std::uint64_t> hff_leaves(const relaxation::HeuristicExpression& c,
                                          const std::vector<double>& costs) const {
        std::vector<std::pair<double, std::vector<std::uint64_t>>> stack;
        for (const relaxation::HNode& e : c.entries) {
            if (e.kind == relaxation::HNode::Kind::Leaf) {
                stack.push_back({costs[e.value], {e.value}});
                continue;
            }
            std::vector<std::pair<double, std::vector<std::uint64_t>>> operands(
                stack.end() - static_cast<std::ptrdiff_t>(e.value), stack.end());
            stack.resize(stack.size() - e.value);
            std::pair<double, std::vector<std::uint64_t>> r{kAbsent, {}};
            if (e.kind == relaxation::HNode::Kind::And) {
                r.first = 0.0;
                for (std::size_t i = operands.size(); i-- > 0;)
                    r.first = present(operands[i].first) && present(r.first) ? r.first + operands[i].first : kAbsent;
                for (auto& operand : operands) r.second.insert(r.second.end(), operand.second.begin(), operand.second.end());
                if (!present(r.first)) r.second.clear();
            } else {
                for (auto& operand : operands)
                    if (present(operand.first) && (!present(r.first) || operand.first <= r.first)) r = operand;
            }
            stack.push_back(r);
        }
        if (!c.has_disjunction) {
            std::vector<std::uint64_t> all;
            for (const relaxation::HNode& e : c.entries)
                if (e.kind == relaxation::HNode::Kind::Leaf) all.push_back(e.value);
            return all;
        }
        return stack.back().second;
    }

    std::optional<double> run(const State& state, std::vector<std::uint32_t>* reachable) const {
        const relaxation::RelaxedTask& t = task_;
        const bool hff = t.kind == RelaxationKind::HFF, hmax = t.kind == RelaxationKind::HMAX;
        ExpressionManager m = t.manager;
        std::vector<Expression> seeds;
        for (std::uint64_t f = 0; f < state.values.size(); ++f) seeds.push_back(atom(m, f, state.values[f]));
        const std::size_t n = m.size();
        std::vector<double> costs(n, kAbsent), improvement(n, kAbsent);
        std::vector<std::uint32_t> supporter(n, kNone);
        for (Expression h : seeds) costs[h.index] = 0.0;
        for (const relaxation::LinearCondition& lc : t.linear_conditions)
            if (internal_evaluate(m.get(lc.handle), state).is_true()) costs[lc.handle.index] = 0.0;
        for (Expression h : t.other_numeric_conditions)
            costs[h.index] = internal_evaluate(m.get(h), state).is_true() ? 0.0 : 1.0;
        for (const auto& [a, count] : t.event_counts) {
            const std::vector<Expression>& list = t.progress_atoms.at(a);
            auto running = state.todo.find(a);
            costs[(running != state.todo.end() ? list[running->second.next_event - 1] : list.back()).index] = 0.0;
        }
        std::vector<std::vector<std::uint32_t>> index(n);
        for (const relaxation::Operator& op : t.operators)
            for (const relaxation::HNode& e : op.precondition.entries)
                if (e.kind == relaxation::HNode::Kind::Leaf) index[e.value].push_back(op.id);
        std::vector<std::uint64_t> frontier;
        for (std::uint64_t h = 0; h < n; ++h)
            if (present(costs[h])) frontier.push_back(h);

        std::vector<std::optional<double>> linear_values(t.linear_conditions.size());
        auto linear_value = [&](std::uint32_t l) {
            if (!linear_values[l]) {
                const relaxation::LinearCondition& lc = t.linear_conditions[l];
                double v = lc.weights.back();
                for (std::size_t i = 0; i < lc.fluents.size(); ++i)
                    v = v + get_rational_from_expression_node(state.fluent_value(lc.fluents[i])).to_double() *
                                lc.weights[i];
                linear_values[l] = v;
            }
            return *linear_values[l];
        };
        std::vector<double> op_cost(t.operators.size(), kAbsent);
        std::vector<std::set<std::uint32_t>> achievers(t.linear_conditions.size());
        auto offer = [&](std::uint64_t h, double v, std::uint32_t id) {
            if (std::isnan(v)) return;
            const double old = present(improvement[h]) ? improvement[h] : costs[h];
            if (!present(old) || old > v) {
                improvement[h] = v;
                supporter[h] = id;
            } else if (old == v) {
                supporter[h] = supporter[h] == kNone ? id : std::max(supporter[h], id);
            }
        };
        while (!frontier.empty()) {
            std::set<std::uint32_t> batch(t.empty_precondition_operators.begin(), t.empty_precondition_operators.end());
            for (std::uint64_t h : frontier) batch.insert(index[h].begin(), index[h].end());
            for (std::uint32_t id : batch) {
                const relaxation::Operator& op = t.operators[id];
                const double c = cost(op.precondition, costs);
                if (!present(c) || (present(op_cost[id]) && !(c < op_cost[id]))) continue;
                op_cost[id] = c;
                for (Expression a : op.add_effects) offer(a.index, c + op.cost, id);
                for (const relaxation::LoweredCondition& low : t.lowered_conditions[id]) {
                    const Expression h = t.linear_conditions[low.linear].handle;
                    if (costs[h.index] == 0.0) continue;
                    const double value = linear_value(low.linear);
                    const double r = value <= 0                                                   ? 0.0
                                     : !t.inadmissible_numeric_heuristic_variant && low.assigned ? 1.0
                                                                                                  : std::ceil(-value / low.change);
                    double v = c + r * op.cost;
                    if (hmax) {
                        achievers[low.linear].insert(id);
                        double cheapest = kAbsent;
                        for (std::uint32_t o : achievers[low.linear]) {
                            const double oc = o == id ? c : cost(t.operators[o].precondition, costs);
                            if (!present(cheapest) || oc < cheapest) cheapest = oc;
                        }
                        v = r * op.cost + cheapest;
                    }
                    offer(h.index, v, id);
                }
            }
            frontier.clear();
            for (std::uint64_t h = 0; h < n; ++h)
                if (present(improvement[h])) {
                    costs[h] = improvement[h];
                    improvement[h] = kAbsent;
                    frontier.push_back(h);
                }
        }
        if (reachable) {
            for (std::uint32_t id = 0; id < op_cost.size(); ++id)
                if (present(op_cost[id])) reachable->push_back(id);
            return std::nullopt;
        }
        const double g = cost(t.goal_condition, costs);
        if (!present(g)) return std::nullopt;
        if (!hff) {
            const double i = cost(t.idle_condition, costs);
            if (!present(i)) return std::nullopt;
            return hmax ? std::max(g, i) : g + i;
        }
        double remaining = 0.0;
        for (const auto& [a, entry] : state.todo)
            remaining += static_cast<double>(t.event_counts.at(a)) - static_cast<double>(entry.next_event);
        if (g == 0.0) return remaining;
        std::set<std::uint64_t> seen;
        std::set<Action> used;
        std::vector<std::uint64_t> work;
        for (std::uint64_t h : hff_leaves(t.goal_condition, costs))
            if (seen.insert(h).second) work.push_back(h);
        while (!work.empty()) {
            const std::uint64_t h = work.back();
            work.pop_back();
            if (supporter[h] == kNone) continue;
            const relaxation::Operator& op = t.operators[supporter[h]];
            if (used.insert(op.action).second && !state.todo.contains(op.action))
                remaining += static_cast<double>(t.event_counts.at(op.action));
            for (std::uint64_t x : hff_leaves(op.precondition, costs))
                if (seen.insert(x).second) work.push_back(x);
        }
        return remaining;
    }

    relaxation::RelaxedTask task_;
    bool refused_goal_;
};

// Random propositional tasks with a few counters: more actions and events than above,
// conditions of nested and/or/not over boolean fluents and thresholds on the counters,
// effects that set or copy booleans and count up or down.
class RandomRelaxedTasks {
  public:
    explicit RandomRelaxedTasks(std::uint32_t seed) : rng_(seed) {}

    Task task() {
        Task t;
        bools_ = pick(2, 7);
        ints_ = chance(0.5) ? 0 : pick(1, 2);
        for (int f = 0; f < bools_; ++f) t.types.push_back("bool");
        for (int f = 0; f < ints_; ++f) t.types.push_back("int");
        const int actions = pick(2, 9);
        for (int a = 0; a < actions; ++a) {
            std::vector<Event> events;
            for (int e = pick(1, 3); e > 0; --e) {
                Event ev;
                if (chance(0.8)) ev.conditions = condition(pick(0, 2));
                for (int k = pick(0, 2); k > 0; --k) {
                    if (ints_ > 0 && chance(0.25)) {
                        const std::uint64_t x = bools_ + pick(0, ints_ - 1);
                        FlatExpr value = chance(0.7)   ? FlatExpr{F(x), I(pick(1, 2)), Op("+", {0, 1})}
                                         : chance(0.5) ? FlatExpr{F(x), I(1), Op("-", {0, 1})}
                                                       : FlatExpr{I(pick(0, 4))};
                        ev.effects.push_back(Effect{x, std::move(value)});
                    } else {
                        const std::uint64_t f = pick(0, bools_ - 1);
                        FlatExpr value = chance(0.85) ? FlatExpr{B(chance(0.7))} : condition(0);
                        ev.effects.push_back(Effect{f, std::move(value)});
                    }
                }
                events.push_back(std::move(ev));
            }
            t.events.push_back(action_events(a, std::move(events)));
        }
        Builder b;
        std::vector<NodeIndex> parts;
        for (int i = pick(1, 4); i > 0; --i) parts.push_back(chance(0.8) ? literal(b) : boolean(b, 1));
        if (parts.size() > 1) b.add(Op(chance(0.85) ? "and" : "or", parts));
        t.goal = b.nodes;
        return t;
    }

    StateBox state(const Task& t) {
        std::vector<ExpressionNode> values;
        for (int f = 0; f < bools_; ++f) values.push_back(B(chance(0.3)));
        for (int f = 0; f < ints_; ++f) values.push_back(I(pick(0, 3)));
        std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
        for (const auto& [a, list] : t.events)
            if (list.size() > 1 && chance(0.3)) running.emplace_back(a.idx, pick(1, static_cast<int>(list.size()) - 1));
        return make_state(std::move(values), running);
    }

  private:
    struct Builder {
        FlatExpr nodes;
        NodeIndex add(ExpressionNode n) {
            nodes.push_back(std::move(n));
            return nodes.size() - 1;
        }
    };
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    NodeIndex literal(Builder& b) {
        if (ints_ > 0 && chance(0.2)) {
            const NodeIndex c = b.add(I(pick(1, 6)));
            const NodeIndex x = b.add(F(bools_ + pick(0, ints_ - 1)));
            return b.add(Op(chance(0.5) ? "<=" : "<", {c, x}));
        }
        const NodeIndex p = b.add(F(pick(0, bools_ - 1)));
        return chance(0.25) ? b.add(Op("not", {p})) : p;
    }
    NodeIndex boolean(Builder& b, int depth) {
        if (depth == 0 || chance(0.3)) return literal(b);
        std::vector<NodeIndex> parts;
        for (int i = pick(2, 3); i > 0; --i) parts.push_back(boolean(b, depth - 1));
        const NodeIndex x = b.add(Op(chance(0.6) ? "and" : "or", parts));
        return chance(0.15) ? b.add(Op("not", {x})) : x;
    }
    FlatExpr condition(int depth) {
        Builder b;
        boolean(b, depth);
        return b.nodes;
    }

    std::mt19937 rng_;
    int bools_ = 0, ints_ = 0;
};

// One heuristic and a copy of it evaluate a series of states, so that an evaluation
// starts from whatever the previous one (an error included) left in its tables.
template <class Tasks>
void expect_relaxation_agrees_with_plain_evaluation(Tasks& random, int tasks, int states_per_task) {
    int refused = 0, values = 0, dead_ends = 0, errors = 0;
    for (int n = 0; n < tasks; ++n) {
        const Task t = random.task();
        for (RelaxationKind kind : kAllKinds) {
            for (bool inadmissible : {false, true}) {
                // A task that construction refuses is refused by both the same way.
                std::optional<PlainRelaxation> made;
                const Outcome built = outcome_of([&]() -> std::optional<double> {
                    made.emplace(t, kind, inadmissible, false);
                    return 0.0;
                });
                if (!made) {
                    EXPECT_EQ(outcome_of([&]() -> std::optional<double> {
                                  relaxation(t, kind, false, inadmissible);
                                  return 0.0;
                              }),
                              built);
                    ++refused;
                    continue;
                }
                const PlainRelaxation& plain = *made;
                const DeleteRelaxationHeuristic h = relaxation(t, kind, false, inadmissible);
                const DeleteRelaxationHeuristic copy(h);
                for (int k = 0; k < states_per_task; ++k) {
                    const auto state = random.state(t);
                    const Outcome expected = plain.eval(*state);
                    const DeleteRelaxationHeuristic& which = k % 2 == 0 ? h : copy;
                    ASSERT_EQ(outcome_of([&] { return which.eval(*state); }), expected)
                        << "task " << n << ", kind " << static_cast<int>(kind) << ", inadmissible " << inadmissible
                        << ", state " << k;
                    values += expected.value.has_value();
                    dead_ends += expected.error.empty() && !expected.value;
                    errors += !expected.error.empty();
                    if (!expected.error.empty()) continue;
                    ASSERT_EQ(which.reachable_actions(*state), plain.reachable_actions(*state))
                        << "task " << n << ", kind " << static_cast<int>(kind) << ", state " << k;
                }
            }
        }
    }
    std::cout << "refused " << refused << ", values " << values << ", dead ends " << dead_ends << ", errors " << errors << "\n";
}

TEST(Relaxation, AgreesWithAPlainEvaluationOnRandomPropositionalTasks) {
    RandomRelaxedTasks random(917);
    expect_relaxation_agrees_with_plain_evaluation(random, 600, 4);
}

TEST(Relaxation, AgreesWithAPlainEvaluationOnRandomNumericTasks) {
    RandomTasks random(4711);
    expect_relaxation_agrees_with_plain_evaluation(random, 800, 3);
}

// Evaluations of one heuristic, and of its copies, on several threads at once take
// their working tables from one shared pool without a lock, and with internal caching
// share one value cache: every thread must get the values of evaluations run one at a
// time.
class RelaxationOnThreads : public ::testing::TestWithParam<bool> {};

TEST_P(RelaxationOnThreads, OneHeuristicAndItsCopiesEvaluateOnManyThreadsAtOnce) {
    const bool caching = GetParam();
    RandomRelaxedTasks random(31337);
    for (int n = 0; n < 40; ++n) {
        const Task t = random.task();
        for (RelaxationKind kind : kAllKinds) {
            std::optional<DeleteRelaxationHeuristic> made;
            try {
                made.emplace(relaxation(t, kind, caching));
            } catch (const std::exception&) {
                continue;  // refused by construction
            }
            const DeleteRelaxationHeuristic& h = *made;
            // The values alone come from a heuristic of their own, so that with caching
            // the threads also store values side by side.
            const DeleteRelaxationHeuristic reference = relaxation(t, kind);
            std::vector<StateBox> states;
            std::vector<Outcome> alone;
            for (int k = 0; k < 12; ++k) {
                states.push_back(random.state(t));
                alone.push_back(outcome_of([&] { return reference.eval(*states.back()); }));
            }
            constexpr int kThreads = 4;
            std::vector<std::vector<Outcome>> seen(kThreads);
            std::vector<std::thread> threads;
            for (int th = 0; th < kThreads; ++th) {
                threads.emplace_back([&, th] {
                    const DeleteRelaxationHeuristic copy(h);
                    for (int round = 0; round < 5; ++round)
                        for (std::size_t k = 0; k < states.size(); ++k)
                            seen[th].push_back(
                                outcome_of([&] { return ((k + th) % 2 == 0 ? h : copy).eval(*states[k]); }));
                });
            }
            for (std::thread& th : threads) th.join();
            for (int th = 0; th < kThreads; ++th)
                for (std::size_t i = 0; i < seen[th].size(); ++i)
                    ASSERT_EQ(seen[th][i], alone[i % states.size()]) << "task " << n << ", thread " << th;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Caching, RelaxationOnThreads, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("SharedValueCache") : std::string("NoCache");
                         });

TEST(ExplicitHmax, AgreesWithAPlainEvaluationOnRandomTasks) {
    RandomTasks random(20240611);
    int compared = 0, values = 0, long_values = 0, dead_ends = 0, zero_divisions = 0, non_numbers = 0;
    for (int n = 0; n < 3000; ++n) {
        const Task t = random.task();
        const PlainExplicitHmax plain(t);
        // One heuristic for both states, so that the second evaluation reuses what
        // the first left behind (after an error too).
        const HMaxExplicit h = explicit_hmax(t);
        for (int k = 0; k < 2; ++k) {
            const auto state = random.state(t);
            const Outcome expected = plain.eval_or_give_up(*state, 14);
            if (!expected.finished) continue;
            ++compared;
            values += expected.value.has_value();
            long_values += expected.value.value_or(0) >= 3;
            dead_ends += expected.error.empty() && !expected.value;
            zero_divisions += expected.error.find("division by zero") != std::string::npos;
            non_numbers += expected.error.find("Expected a number!") != std::string::npos;
            ASSERT_EQ(outcome_of([&] { return h.eval(*state); }), expected) << "task " << n << ", state " << k;
        }
    }
    // The tasks cover every kind of outcome.
    EXPECT_GT(compared, 4000);
    EXPECT_GT(long_values, 50);
    EXPECT_GT(values, 500);
    EXPECT_GT(dead_ends, 500);
    EXPECT_GT(zero_divisions, 20);
    EXPECT_GT(non_numbers, 20);
}

}  // namespace
}  // namespace quorvane
