// The value cache of the heuristics: shared between copies, keyed by values and
// progress, never holding an error.
#include "heuristic_oracles.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using namespace heuristic_oracles;
// The builder, not the namespace quorvane::relaxation.
using heuristic_oracles::relaxation;

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

}  // namespace
}  // namespace quorvane
