// The task's small value types: actions and event timings.
#include <gtest/gtest.h>

#include "engine/support/number.hpp"
#include "engine/task/actions.hpp"

namespace {

using namespace quorvane;

// ---------------------------------------------------------------------------
// Task structures
// ---------------------------------------------------------------------------

TEST(Structures, ActionIdentityAndText) {
    EXPECT_EQ(Action{3}.debug(), "Action { idx: 3 }");
    EXPECT_EQ(Action{3}, Action{3});
    EXPECT_LT(Action{2}, Action{3});
    Timing t{false, mk_rational(-2, 4)};
    EXPECT_EQ(t.debug(), "Timing { start: false, delay: Ratio { numer: -1, denom: 2 } }");
    EXPECT_TRUE(t.is_from_end());
}

}  // namespace
