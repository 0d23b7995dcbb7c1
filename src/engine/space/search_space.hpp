// The planning task as a forward state space. SearchSpace is built from its task input
// (search_space.cpp: construction, the initial state and the data queries); it makes
// successors by applying the next event of an action (successors.cpp), tests goals
// (goal_tests.cpp) and schedules a plan into start times and durations (plan_building.cpp).
// The interference and precedence tests between events are in event_relations.hpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/space/event_relations.hpp"
#include "engine/space/plan_building.hpp"
#include "engine/space/search_space_trait.hpp"
#include "engine/space/task_input.hpp"
#include "engine/state/compiled_conditions.hpp"
#include "engine/state/state.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/number.hpp"
#include "engine/task/actions.hpp"
#include "engine/temporal/time_points.hpp"

namespace quorvane {

// The prepared forms of one event, for the states of its search space's layout (none
// ready without a layout), and its durative conditions as the space shares them.
struct CompiledEvent {
    const Event* source = nullptr;  // the event they were prepared from
    CompiledCondition condition;
    std::vector<CompiledValue> effects;  // one per effect, in order
    std::vector<ConditionRef> start_conditions, end_conditions;  // as in the event
    // The effects as writes into the words (StateBox::write_words), when each writes a
    // constant its slot holds inline: a boolean into a bit, any inline value into a cell.
    bool writes_ready = false;
    std::vector<WordWrite> bit_writes, cell_writes;
};

class SearchSpace {
  public:
    // Fails with InternalError when an `events` key lies beyond `actions`.
    explicit SearchSpace(SearchSpaceInput input);
    SearchSpace(const SearchSpace&) = delete;
    SearchSpace& operator=(const SearchSpace&) = delete;

    // --- the operations of SearchSpaceTrait, and the plan and subgoal queries ------------

    // A fresh state from `initial` (or the stored initial state when null); a temporal
    // task's state carries an empty network, with the horizon pinned at the deadline.
    StatePtr initial_state(const FlatExpr* initial = nullptr) const;
    // The state after the next event of `action` (all remaining events at once for an
    // action that is safe for compression), or null when the action is not applicable.
    StatePtr get_successor_state(const State& parent, Action action) const {
        if (!may_start(parent, action)) return nullptr;
        return get_successor_state_with_compression(parent, action, true);
    }
    // The same built into `child` (see StateBox::reset_from), reusing its memory; false
    // when the action is not applicable (`child` then holds whatever was begun).
    bool get_successor_state_into(const State& parent, Action action, StateBox& child) const {
        return may_start(parent, action) && build_successor(parent, action, true, child);
    }
    // False only where build_successor surely gives no successor, and would neither
    // fail nor change anything finding so: nothing runs in `parent`, which is in this
    // space's layout, and the condition of the action's first event fails one of its
    // word tests (or is false everywhere). Inline and one pass over the words: the
    // successors of a state ask it of every action, and it rules most of them out.
    bool may_start(const State& parent, Action action) const noexcept {
        if (action.idx >= start_filters_.size() || &parent.values.layout() != layout_.get() || !parent.todo.empty())
            return true;
        const StartFilter f = start_filters_[action.idx];
        const std::uint64_t* w = parent.values.words();
        for (std::uint32_t k = f.begin; k < f.end; ++k) {
            const compiled_detail::WordTest& t = start_tests_[k];
            if ((w[t.word] & t.mask) != t.expect) return false;
        }
        return !f.never;
    }
    // The successor get_successor_state_into built once before, built again into `child`
    // exactly as then: a start takes the instance numbers it took then, from
    // `first_instance` (its first event's), and the space's numbering does not move. A
    // search that keeps only some networks makes the others again this way.
    bool rebuild_successor_into(const State& parent, Action action, std::uint32_t first_instance,
                                StateBox& child) const {
        return build_successor(parent, action, true, child, &first_instance);
    }
    Successors<SearchSpace> get_successor_states_iter(StatePtr state) const noexcept {
        return {*this, std::move(state)};
    }
    // False while an action is running; otherwise the value of `goal` (or the stored goal).
    bool goal_reached(const State& state, const FlatExpr* goal = nullptr) const;
    // The top-level conjuncts of the goal that hold in `state`, each once.
    std::vector<FlatExpr> subgoals_sat(const State& state, const FlatExpr* goal = nullptr) const;
    // Schedules a plan (one action per applied event) into start times and durations.
    TimedPlan build_plan(const std::vector<Action>& path) const;

    // --- successor generation ---------------------------------------------------------

    // Whether generating successors reads the parent's path (the object filter does).
    bool reads_paths() const noexcept { return action_objects_ && obj_to_prev_actions_map_; }
    StatePtr get_successor_state_with_compression(const State& parent, Action action, bool compress) const;
    // With `first_instance`, a start takes its numbers from there, not from the counter.
    bool build_successor(const State& parent, Action action, bool compress, StateBox& child,
                         const std::uint32_t* first_instance = nullptr) const;
    // Applies `event` (position `pos` in its action's list, instance `instance`) to
    // `child`, a clone of `parent`. False when it does not fit: a durative condition
    // breaks or, in a temporal task, the network becomes inconsistent.
    bool expand_event(const State& parent, StateBox& child, const Event& event, std::size_t pos,
                      std::uint32_t instance) const;
    // Truth value of `condition` over `state`; Error(Exception) for a non-boolean value.
    bool is_sat(const FlatExpr& condition, const State& state) const;

    // --- data -------------------------------------------------------------------------

    bool is_temporal() const noexcept { return is_temporal_; }
    const std::vector<Action>& relevant_actions() const noexcept { return relevant_actions_; }
    // Not thread-safe: the caller must hold the search space exclusively.
    void set_relevant_actions(std::vector<Action> actions) {
        relevant_actions_ = std::move(actions);
        compile_quick_tests();
    }
    // The first position from `from` on in relevant_actions() whose action may give a
    // successor of `state`: those skipped are actions may_start rules out by one word
    // test. Inline, a tight pass over one test per action: a search asks it for every
    // state it expands.
    std::size_t next_candidate(const State& state, std::size_t from) const noexcept {
        const std::size_t n = quick_tests_.size();
        if (!n || &state.values.layout() != layout_.get() || !state.todo.empty()) return from;
        const compiled_detail::WordTest* q = quick_tests_.data();
        const std::uint64_t* w = state.values.words();
        while (from < n && (w[q[from].word] & q[from].mask) != q[from].expect) ++from;
        return from;
    }
    // The events of `action` in list order, or null when it has none. Inline: successors
    // look their actions' events up per step.
    const std::vector<TimedEvent>* events_of(Action action) const noexcept {
        return action.idx < events_by_index_.size() ? events_by_index_[action.idx] : nullptr;
    }
    const FluentSetTable& fluent_sets() const noexcept { return *fluent_sets_; }
    const TNInterpreter& tn_interpreter() const noexcept { return tn_interpreter_; }
    const MutexChecker& mutex_checker() const noexcept { return mutex_checker_; }
    const PrecedenceChecker& precedence_checker() const noexcept { return precedence_checker_; }
    const Rational& epsilon() const noexcept { return epsilon_; }
    double epsilon_float() const noexcept { return epsilon_float_; }
    std::optional<double> deadline() const noexcept { return deadline_; }
    std::uint32_t instance_counter() const;
    // The layout of this search space's states: null without a stored initial state.
    const LayoutPtr& layout() const noexcept { return layout_; }

  private:
    // Per fluent of the stored initial state: whether it only ever holds booleans.
    std::vector<bool> boolean_fluents() const;
    // Fills compiled_events_: a row per action, one entry per event of events_.
    void compile_events();
    // Fills the writes of `c`, the prepared forms of `event`, when every effect allows.
    void compile_writes(const Event& event, CompiledEvent& c) const;
    // Fills start_filters_ and start_tests_ from compiled_events_ (with a layout only).
    void compile_start_filters();
    // Fills quick_tests_ for relevant_actions_ from start_filters_.
    void compile_quick_tests();
    bool passes_object_filter(const State& parent, Action action) const;
    // Posts the duration, origin/horizon and event pinning constraints of a start.
    // `counter` is advanced as the points are numbered.
    void post_start_constraints(const State& parent, State& child, Action action,
                                const std::vector<TimedEvent>& events, std::uint32_t& counter) const;
    bool active_conditions_hold(const State& state, const State& over) const;
    // Writes the effects of `event` into `built` one by one, each value from its prepared
    // form where there is one (`compiled`: the event's, or null), else from the evaluator.
    void write_effects(const State& parent, StateBox& built, const Event& event, const CompiledEvent* compiled) const;
    // The prepared forms of `event` at position `pos` of its action's list, or null.
    const CompiledEvent* compiled_event(const Event& event, std::size_t pos) const noexcept;
    // is_sat of the event's condition, decided by its prepared form (when given) where it can be.
    bool event_condition_holds(const CompiledEvent* compiled, const Event& event, const State& state) const;

    std::vector<std::optional<DurationBounds>> actions_duration_;
    boost::unordered_flat_map<Action, std::vector<TimedEvent>, support::FxHash<Action>> events_;
    std::vector<Action> relevant_actions_;
    std::optional<std::vector<bool>> compression_safe_actions_;
    std::optional<std::vector<std::vector<std::string>>> action_objects_;
    std::optional<ObjectPrerequisites> obj_to_prev_actions_map_;
    std::optional<FlatExpr> initial_state_;
    std::optional<FlatExpr> goal_;
    std::shared_ptr<const FluentSetTable> fluent_sets_;  // shared with the checkers
    TNInterpreter tn_interpreter_;
    MutexChecker mutex_checker_;
    PrecedenceChecker precedence_checker_;
    Rational epsilon_;
    double epsilon_float_ = 0.01;
    std::optional<double> deadline_;
    bool is_temporal_ = false;
    LayoutPtr layout_;
    std::vector<const std::vector<TimedEvent>*> events_by_index_;  // into events_, by action index
    std::vector<std::vector<CompiledEvent>> compiled_events_;       // by action index, then position
    // What may_start tests of an action that is not running: start_tests_[begin, end),
    // from its first event's prepared condition; `never` when that is false everywhere.
    struct StartFilter {
        std::uint32_t begin = 0, end = 0;
        bool never = false;
    };
    std::vector<StartFilter> start_filters_;  // by action index; empty without a layout
    std::vector<compiled_detail::WordTest> start_tests_;
    // By position in relevant_actions_: the first of the action's start tests, one no
    // state passes for an action that is never applicable, or one every state passes.
    // Empty without a layout or without words.
    std::vector<compiled_detail::WordTest> quick_tests_;
    CompiledCondition compiled_goal_;

    mutable std::mutex counter_mutex_;
    // Written under counter_mutex_, by temporal starts only; wraps modulo 2^32.
    mutable std::atomic<std::uint32_t> instance_counter_{0};
};

static_assert(SearchSpaceTrait<SearchSpace>);

}  // namespace quorvane
