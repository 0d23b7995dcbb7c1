// What a search asks of an evaluator of states. A search knows its evaluator through this interface alone:
// any type with `eval(state, space)` (and, optionally, `eval(state, space, limit)`)
// serves, the module's Heuristic among them.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <utility>

#include "engine/space/search_space_trait.hpp"
#include "engine/state/state.hpp"
#include "engine/support/time_limit.hpp"

namespace quorvane {

// An evaluator of states.
template <class H, class S>
concept HeuristicTrait = requires(const H& h, const State& state, const S& space) {
    { h.eval(state, space) } -> std::same_as<std::optional<double>>;
};

// The value of `state` under `heuristic`, handing it the time limit when it takes one.
// Every evaluation of a search passes here: between two expansions there may be many,
// so the host is asked here too whether to stop.
template <class H, class S>
    requires HeuristicTrait<H, S>
std::optional<double> eval_within(const H& heuristic, const State& state, const S& space, const TimeLimit* limit) {
    if (limit) limit->poll_interrupts();
    if constexpr (requires { heuristic.eval(state, space, limit); })
        return heuristic.eval(state, space, limit);
    else
        return heuristic.eval(state, space);
}

}  // namespace quorvane
