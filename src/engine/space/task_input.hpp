// What a search space is built from: the task as converted from the caller's values.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/expressions/node.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/number.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

// Duration bounds of an action, evaluated each time the action starts.
struct DurationBounds {
    FlatExpr lower;
    FlatExpr upper;
    bool lower_open = false;
    bool upper_open = false;
};

using ActionSet = boost::unordered_flat_set<Action, support::FxHash<Action>>;
// Object name -> the actions that must have happened before an action using it may start.
using ObjectPrerequisites = boost::unordered_flat_map<std::string, ActionSet>;

// Everything a search space is built from, as converted from the caller's values.
struct SearchSpaceInput {
    std::vector<std::optional<DurationBounds>> actions_duration;
    ActionEvents events;
    std::vector<Action> actions;
    std::optional<std::vector<bool>> compression_safe_actions;
    std::optional<std::vector<std::vector<std::string>>> action_objects;
    std::optional<ObjectPrerequisites> obj_to_prev_actions_map;
    std::optional<FlatExpr> initial_state;
    std::optional<FlatExpr> goal;
    std::optional<std::vector<Action>> relevant_actions;
    std::optional<Rational> deadline;
    std::optional<Rational> epsilon;  // 1/100 when absent
};

}  // namespace quorvane
