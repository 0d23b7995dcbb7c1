// Cost propagation of hadd and hmax: conjunctions, dead ends, reachable actions, linear
// conditions and the values that feed them.
#include "heuristic_oracles.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using namespace heuristic_oracles;
// The builder, not the namespace quorvane::relaxation.
using heuristic_oracles::relaxation;

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

TEST(Relaxation, UnreachableIdleConditionIsADeadEndForHaddAndHmax) {
    // Action 0 runs and its second event can never happen.
    Task t{{"bool"}, {}, {action_events(0, {event({}, {}), event({B(false)}, {})})}, {F(0)}, {}};
    const auto state = make_state({B(true)}, {{0, 1}});
    EXPECT_EQ(relaxation(t, RelaxationKind::HADD).eval(*state), std::nullopt);
    EXPECT_EQ(relaxation(t, RelaxationKind::HMAX).eval(*state), std::nullopt);
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

}  // namespace
}  // namespace quorvane
