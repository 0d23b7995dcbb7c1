// What a search asks of an evaluator of states, and the streams of evaluated states
// the searches pull from. A search knows its evaluator through this interface alone:
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

// A state with its heuristic value (nullopt: dead end).
struct EvaluatedState {
    StatePtr state;
    std::optional<double> value;
};

// Evaluates the states of a source one by one as they are pulled: a state that is
// never pulled is never evaluated. An evaluation failure is thrown from `next()`.
template <class H, class S, StateSource Src>
class EvalGen {
  public:
    EvalGen(const H& heuristic, const S& space, Src source, const TimeLimit* limit = nullptr)
        : heuristic_(&heuristic), space_(&space), source_(std::move(source)), limit_(limit) {}

    std::optional<EvaluatedState> next() {
        StatePtr state = source_.next();
        if (!state) return std::nullopt;
        std::optional<double> value = eval_within(*heuristic_, *state, *space_, limit_);
        return EvaluatedState{std::move(state), value};
    }

  private:
    const H* heuristic_;
    const S* space_;
    Src source_;
    const TimeLimit* limit_;
};

// Over states shared with the caller (the seen set, the open list). `limit`, when
// given, is handed to every evaluation (see Heuristic::eval).
template <class H, class S, StateSource Src>
    requires HeuristicTrait<H, S>
EvalGen<H, S, Src> eval_gen(const H& heuristic, Src source, const S& space, const TimeLimit* limit = nullptr) {
    return EvalGen<H, S, Src>(heuristic, space, std::move(source), limit);
}

}  // namespace quorvane
