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
// A space may offer `next_candidate(state, position)`: the first position from
// `position` on in its relevant_actions whose action may be applicable; those it skips
// surely are not, and finding so would neither fail nor change anything.
template <class S>
concept SkipsInapplicable = requires(const S& s, const State& st, std::size_t p) {
    { s.next_candidate(st, p) } noexcept -> std::same_as<std::size_t>;
};

template <class S>
class Successors {
  public:
    Successors(const S& space, StatePtr state) noexcept : space_(&space), state_(std::move(state)) {}

    // The next successor, or null once every action has been tried.
    StatePtr next() {
        const std::vector<Action>& actions = space_->relevant_actions();
        for (;;) {
            if constexpr (SkipsInapplicable<S>) position_ = space_->next_candidate(*state_, position_);
            if (position_ >= actions.size()) return nullptr;
            const Action action = actions[position_++];
            if (StatePtr successor = space_->get_successor_state(*state_, action)) return successor;
        }
    }
    bool done() const noexcept { return position_ >= space_->relevant_actions().size(); }

  private:
    const S* space_;
    StatePtr state_;
    std::size_t position_ = 0;
};

// The same successors built one after the other into one box, for a search that takes
// what it needs of each before asking for the next: `next()` gives the successor, valid
// until the next call, or null at the end. No state is allocated per successor. A space
// that cannot build into a box (no `get_successor_state_into`) gives states of their own.
template <class S>
class SuccessorsInPlace {
    static constexpr bool kInBox = requires(const S& s, const State& st, Action a, StateBox& b) {
        { s.get_successor_state_into(st, a, b) } -> std::same_as<bool>;
    };

  public:
    // `state` and `box` must outlive the sequence; `box` may hold a state from before,
    // whose memory the successors reuse.
    SuccessorsInPlace(const S& space, const State& state, StateBox& box) noexcept
        : space_(&space), state_(&state), box_(&box) {}

    const State* next() {
        const std::vector<Action>& actions = space_->relevant_actions();
        for (;;) {
            if constexpr (SkipsInapplicable<S>) position_ = space_->next_candidate(*state_, position_);
            if (position_ >= actions.size()) return nullptr;
            const Action action = actions[position_++];
            if constexpr (kInBox) {
                if (space_->get_successor_state_into(*state_, action, *box_)) return box_->get();
            } else {
                if ((current_ = space_->get_successor_state(*state_, action))) return current_.get();
            }
        }
    }
    // The successor `next()` gave last, as a state of its own (the next one is built
    // in fresh memory).
    StatePtr take() noexcept {
        if constexpr (kInBox) return StatePtr(std::move(*box_));
        else return std::move(current_);
    }

  private:
    const S* space_;
    const State* state_;
    StateBox* box_;
    std::size_t position_ = 0;
    StatePtr current_;
};

}  // namespace quorvane
