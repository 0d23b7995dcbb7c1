// The one heuristic type the searches evaluate states with. It wraps exactly one
// engine: the delete relaxation (hff, hadd, hmax), hmax over explicit value sets, or a
// custom heuristic that calls out of the engine. Values may be memoised in the state.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/heuristics/explicit_hmax.hpp"
#include "engine/heuristics/custom_heuristic.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/state/state.hpp"
#include "engine/support/time_limit.hpp"

namespace quorvane {

// An engine that can tell which actions the relaxed exploration from a state reaches.
template <class E>
concept ReportsReachableActions = requires(const E& engine, const State& state) {
    { engine.reachable_actions(state) } -> std::same_as<std::vector<Action>>;
};

class Heuristic {
  public:
    using Engine = std::variant<DeleteRelaxationHeuristic, HMaxExplicit, CustomHeuristic>;

    Heuristic(Engine engine, bool cache_value_in_state)
        : engine_(std::move(engine)), cache_value_in_state_(cache_value_in_state) {}

    // Static text: it is also the key of the state cache.
    const char* name() const;

    // The value of `state` (nullopt: dead end). The search space is not read; it is a
    // parameter so that every evaluator of states has the same shape. A search passes
    // its time limit, which a long explicit-hmax evaluation checks now and then (a
    // TimeoutError ends it); the other engines finish their evaluation regardless.
    template <class S>
    std::optional<double> eval(const State& state, const S& /*space*/, const TimeLimit* limit = nullptr) const {
        return eval_state(state, limit);
    }
    std::optional<double> eval_state(const State& state, const TimeLimit* limit = nullptr) const;

    // The actions reachable from `state`, for the engines that report them
    // (ReportsReachableActions); nullopt for the others.
    std::optional<std::vector<Action>> reachable_actions(const State& state) const;

    // Whether an evaluation may read the state's path (only a caller's function can).
    bool reads_paths() const noexcept { return std::holds_alternative<CustomHeuristic>(engine_); }

  private:
    Engine engine_;
    bool cache_value_in_state_;
};

}  // namespace quorvane
