// hmax over explicit sets of possible values: rounds, dead ends, time limits, memory,
// and agreement with a plain evaluation.
#include "heuristic_oracles.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using namespace heuristic_oracles;
// The builder, not the namespace quorvane::relaxation.
using heuristic_oracles::relaxation;

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
