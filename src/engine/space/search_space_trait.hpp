// SearchSpaceTrait, the operations through which the searches use a search space, and
// Successors, the lazy sequence of a state's successors that every search walks. The
// searches are templates over the space: SearchSpace in production, small graphs in
// the tests. (SearchSpace also schedules plans and reports satisfied subgoals; no
// search needs either.)
#pragma once

#include <concepts>
#include <cstddef>
#include <utility>
#include <vector>

#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

// A lazy source of states: `next()` gives the next one, or null at the end; failures
// are thrown when the failing item is pulled.
template <class Src>
concept StateSource = requires(Src& src) {
    { src.next() } -> std::convertible_to<StatePtr>;
};

// Errors are thrown; a null StatePtr from get_successor_state means "not applicable";
// a null expression stands for the stored initial state or goal.
template <class S>
concept SearchSpaceTrait = requires(const S& space, const State& state, StatePtr shared, Action action) {
    { space.initial_state(nullptr) } -> std::convertible_to<StatePtr>;
    { space.get_successor_state(state, action) } -> std::convertible_to<StatePtr>;
    { space.get_successor_states_iter(shared) } -> StateSource;
    // False while an action is running.
    { space.goal_reached(state, nullptr) } -> std::same_as<bool>;
    { space.relevant_actions() } -> std::convertible_to<const std::vector<Action>&>;
    { space.is_temporal() } -> std::same_as<bool>;
};

// The successors of one state, one per applicable action of the space's
// `relevant_actions`, in list order, computed one per request: inapplicable actions
// are skipped within the same request. An error computing a successor is thrown; the
// sequence has already moved past that action, so asking again goes on with the
// following ones. It holds the state and borrows the space, which must outlive it.
template <class S>
class Successors {
  public:
    Successors(const S& space, StatePtr state) noexcept : space_(&space), state_(std::move(state)) {}

    // The next successor, or null once every action has been tried.
    StatePtr next() {
        const std::vector<Action>& actions = space_->relevant_actions();
        while (position_ < actions.size()) {
            const Action action = actions[position_++];
            if (StatePtr successor = space_->get_successor_state(*state_, action)) return successor;
        }
        return nullptr;
    }
    bool done() const noexcept { return position_ >= space_->relevant_actions().size(); }

  private:
    const S* space_;
    StatePtr state_;
    std::size_t position_ = 0;
};

}  // namespace quorvane
