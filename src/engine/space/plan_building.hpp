// The timed plan that SearchSpace::build_plan schedules a path into (plan_building.cpp).
#pragma once

#include <optional>
#include <vector>

#include "engine/support/number.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

// One entry of a timed plan. In a temporal task every entry has a start; a duration of
// zero is absent. In a task without durations neither is present.
struct TimedPlanEntry {
    std::optional<Rational> start;
    Action action;
    std::optional<Rational> duration;
};
using TimedPlan = std::vector<TimedPlanEntry>;

}  // namespace quorvane
