// One evaluation of hff, hadd or hmax over the compiled tables.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/heuristics/relaxation_tables.hpp"
#include "engine/heuristics/workspace.hpp"
#include "engine/state/state.hpp"

// Internal to the heuristics folder.
namespace quorvane::heuristics_detail {

// The heuristic value of `state`, or with `reachable` the ids of the operators that got
// a precondition cost (ascending) and no value. Writes only into `w`.
std::optional<double> evaluate(const CompiledTask& t, Workspace& w, const State& state,
                               std::vector<std::uint32_t>* reachable);

}  // namespace quorvane::heuristics_detail
