#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/support/number.hpp"
#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/time_points.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {

using namespace test_tasks;

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

}  // namespace
}  // namespace quorvane
