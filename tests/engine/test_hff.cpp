// hff: the relaxed plan, its best supporters and what it counts.
#include "heuristic_oracles.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using namespace heuristic_oracles;
// The builder, not the namespace quorvane::relaxation.
using heuristic_oracles::relaxation;

TEST(Relaxation, HffCountsOnlyTheEventsStillToComeOfRunningActions) {
    Task t{{"bool"}, {}, {plain_action(0, 3)}, {F(0)}, {}};
    const auto state = make_state({B(true)}, {{0, 1}});
    EXPECT_EQ(relaxation(t, RelaxationKind::HFF).eval(*state), 2.0);
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

}  // namespace
}  // namespace quorvane
