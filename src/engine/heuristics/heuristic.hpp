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
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/space/search_space_trait.hpp"
#include "engine/state/state.hpp"
#include "engine/support/time_limit.hpp"

namespace quorvane {

// A heuristic implemented outside the engine (in the extension: a Python callable).
// The implementation is responsible for attaching to its interpreter for every call,
// copy and release, so that the engine may use it from any thread.
class CustomCallable {
  public:
    virtual ~CustomCallable() = default;
    // The value of `state`, a full copy made for this call alone; nullopt for a dead
    // end. Failures are thrown and must reach the caller unchanged.
    virtual std::optional<double> call(StatePtr state) const = 0;
    // Another handle to the same callable.
    virtual std::unique_ptr<CustomCallable> clone() const = 0;
};

class CustomHeuristic {
  public:
    explicit CustomHeuristic(std::unique_ptr<CustomCallable> callable) : callable_(std::move(callable)) {
        QV_REQUIRE(callable_, "a custom heuristic needs a callable");
    }
    CustomHeuristic(const CustomHeuristic& other) : callable_(other.callable_ ? other.callable_->clone() : nullptr) {}
    CustomHeuristic& operator=(const CustomHeuristic& other) {
        if (this != &other) callable_ = other.callable_ ? other.callable_->clone() : nullptr;
        return *this;
    }
    CustomHeuristic(CustomHeuristic&&) noexcept = default;
    CustomHeuristic& operator=(CustomHeuristic&&) noexcept = default;

    // The callable sees a full copy, so nothing it does reaches the searched state.
    std::optional<double> eval(const State& state) const;
    const CustomCallable& callable() const {
        QV_REQUIRE(callable_, "custom heuristic without a callable");
        return *callable_;
    }

  private:
    std::unique_ptr<CustomCallable> callable_;
};

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

  private:
    Engine engine_;
    bool cache_value_in_state_;
};

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

// Evaluates the states of a slice of containers (anything with `state()` giving a
// StatePtr), in slice order; an item is (position in the slice, value).
template <class H, class S, class Container>
class ContainerEvalGen {
  public:
    ContainerEvalGen(const H& heuristic, const S& space, std::span<const Container> containers,
                     const TimeLimit* limit = nullptr)
        : heuristic_(&heuristic), space_(&space), containers_(containers), limit_(limit) {}

    std::optional<std::pair<std::size_t, std::optional<double>>> next() {
        if (position_ >= containers_.size()) return std::nullopt;
        std::size_t j = position_++;
        return std::pair<std::size_t, std::optional<double>>(
            j, eval_within(*heuristic_, *containers_[j].state(), *space_, limit_));
    }

  private:
    const H* heuristic_;
    const S* space_;
    std::span<const Container> containers_;
    const TimeLimit* limit_;
    std::size_t position_ = 0;
};

template <class H, class S, class Container>
    requires HeuristicTrait<H, S>
ContainerEvalGen<H, S, Container> eval_gen_container(const H& heuristic, std::span<const Container> containers,
                                                     const S& space, const TimeLimit* limit = nullptr) {
    return ContainerEvalGen<H, S, Container>(heuristic, space, containers, limit);
}

}  // namespace quorvane
