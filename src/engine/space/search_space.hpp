// The planning task as a forward state space: successors by applying the next event
// of an action, goal tests, the interference and precedence tests between events, and
// the scheduling of a plan into start times and durations.
#pragma once

#include <algorithm>
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
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/state/compiled_conditions.hpp"
#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/space/search_space_trait.hpp"
#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/number.hpp"
#include "engine/temporal/time_points.hpp"

namespace quorvane {

using FluentSet = boost::unordered_flat_set<std::uint64_t, support::FxHash<std::uint64_t>>;

// Whether two fluent sets share a member; walks the smaller set, probes the larger.
bool intersects(const FluentSet& a, const FluentSet& b) noexcept;

// The fluents one event touches, split by the way it touches them.
struct EventFluentSets {
    FluentSet reads;  // its condition and its effect values
    FluentSet writes;  // its effects' fluents
    FluentSet reads_or_writes;
    FluentSet start_condition_fluents;
    FluentSet end_condition_fluents;

    static EventFluentSets of(const Event& event);
};

// Row i: the fluent sets of the events of the action with index i, by list position.
using FluentSetTable = std::vector<std::vector<EventFluentSets>>;

// An event named by its action and its position in that action's event list.
struct EventRef {
    Action action;
    std::size_t pos = 0;
    friend bool operator==(const EventRef&, const EventRef&) noexcept = default;
};

// An ordered pair of events: the question "first against second".
struct EventPair {
    EventRef first;
    EventRef second;
    friend bool operator==(const EventPair&, const EventPair&) noexcept = default;
};

namespace detail {
// For each fluent, the events (by dense number) that read it, write it or open a durative
// condition on it: the rows of a relation are unions of these lists.
struct FluentIndex {
    boost::unordered_flat_map<std::uint64_t, std::vector<std::uint32_t>, support::FxHash<std::uint64_t>> readers,
        writers, openers;
    explicit FluentIndex(const std::vector<const EventFluentSets*>& events);
};

// Whether two events of different actions interfere: one writes a fluent that the
// other reads or writes.
struct Interferes {
    static bool holds(const EventFluentSets& first, const EventFluentSets& second) noexcept;
    // Calls mark(t) for every event t (possibly more than once) with holds(first, t).
    template <class F>
    static void each_related(const EventFluentSets& first, const FluentIndex& index, F&& mark);
};
// Whether, of two events of different actions, the second must not be placed before the
// first: the first writes a fluent of a durative condition that the second opens, or the
// second writes a fluent of one that the first closes.
struct MustFollow {
    static bool holds(const EventFluentSets& first, const EventFluentSets& second) noexcept;
    template <class F>
    static void each_related(const EventFluentSets& first, const FluentIndex& index, F&& mark);
};

template <class F>
void for_each_listed(const boost::unordered_flat_map<std::uint64_t, std::vector<std::uint32_t>,
                                                     support::FxHash<std::uint64_t>>& lists,
                     const FluentSet& fluents, F& mark) {
    for (std::uint64_t f : fluents)
        if (auto it = lists.find(f); it != lists.end())
            for (std::uint32_t t : it->second) mark(t);
}

template <class F>
void Interferes::each_related(const EventFluentSets& s, const FluentIndex& index, F&& mark) {
    for_each_listed(index.readers, s.writes, mark);
    for_each_listed(index.writers, s.reads_or_writes, mark);
}

template <class F>
void MustFollow::each_related(const EventFluentSets& s, const FluentIndex& index, F&& mark) {
    for_each_listed(index.openers, s.writes, mark);
    for_each_listed(index.writers, s.end_condition_fluents, mark);
}
}  // namespace detail

// Where an event sits in a checker's table: its dense number (>= 0), or why it has none.
using EventSlot = std::int64_t;

// A relation between the events of a search space, answered from tables built when the
// checker is made: nothing is locked, looked up by hash or stored while a search asks.
// Events are numbered densely, action row by action row, so that an (action, position)
// pair becomes a number with two array reads. Up to `max_matrix_events` events the
// answers for all ordered pairs sit in a bit matrix; beyond that (a matrix would cost too
// much memory) each question is answered from the fluent sets, which allocates nothing.
// Events of one action are always related, without any lookup.
template <class Relation>
class EventPairChecker {
  public:
    static constexpr EventSlot kNoRow = -1;       // the action lies beyond the table's rows
    static constexpr EventSlot kNoPosition = -2;  // the position lies beyond the action's row
    static constexpr std::size_t kMaxMatrixEvents = 4096;  // a matrix of 2 MiB

    EventPairChecker() = default;
    // Without a matrix the checker answers from a copy of `sets`.
    explicit EventPairChecker(const FluentSetTable& sets, std::size_t max_matrix_events = kMaxMatrixEvents) {
        init(sets, nullptr, max_matrix_events);
    }
    // Without a matrix the checker answers from `sets` (not null) itself, which it keeps alive.
    explicit EventPairChecker(std::shared_ptr<const FluentSetTable> sets,
                              std::size_t max_matrix_events = kMaxMatrixEvents) {
        const FluentSetTable& table = *sets;
        init(table, std::move(sets), max_matrix_events);
    }

    // Whether the relation holds for the ordered pair. An event outside the table (an
    // `Event` whose `pos` is not its position in the list) is a broken precondition:
    // InternalError, the first event's action and position checked before the second's.
    bool check(const EventPair& key) const {
        return check(key.first.action, slot(key.first), key.second.action, slot(key.second));
    }
    // The same question for events already numbered: `first` an event of `first_action`,
    // `second` one of `second_action`, each as slot() gave it.
    bool check(Action first_action, EventSlot first, Action second_action, EventSlot second) const {
        if (first_action == second_action) return true;
        const std::uint64_t a = require(first);
        return holds(a, require(second));
    }

    EventSlot slot(const EventRef& ref) const noexcept {
        if (ref.action.idx >= row_start_.size() - 1) return kNoRow;
        const std::uint64_t begin = row_start_[ref.action.idx];
        if (ref.pos >= row_start_[ref.action.idx + 1] - begin) return kNoPosition;
        return static_cast<EventSlot>(begin + ref.pos);
    }
    // The number of a slot, or the error of an event that has none.
    static std::uint64_t require(EventSlot slot) {
        if (slot >= 0) [[likely]]
            return static_cast<std::uint64_t>(slot);
        internal_error(slot == kNoRow ? "event of an action beyond the search space's fluent sets"
                                      : "event position beyond its action's fluent sets");
    }
    // The answer for two numbered events of different actions.
    bool holds(std::uint64_t first, std::uint64_t second) const noexcept {
        if (!matrix_.empty()) {
            const std::uint64_t bit = first * words_per_row_ * 64 + second;
            return (matrix_[bit >> 6] >> (bit & 63)) & 1;
        }
        return Relation::holds(*events_[first], *events_[second]);
    }

    std::size_t num_events() const noexcept { return row_start_.size() > 0 ? row_start_.back() : 0; }
    // Whether the answers come from the bit matrix.
    bool tabulated() const noexcept { return !matrix_.empty(); }

  private:
    // Numbers the events of `sets` and tabulates the answers, or, beyond max_matrix_events,
    // keeps `shared` (a copy of `sets` when null) to answer from.
    void init(const FluentSetTable& sets, std::shared_ptr<const FluentSetTable> shared, std::size_t max_matrix_events);
    // The events of `sets` (as numbered by init), by number.
    std::vector<const EventFluentSets*> numbered_events(const FluentSetTable& sets) const;

    std::vector<std::uint64_t> row_start_ = {0};  // per action row, its first number; then the total
    std::size_t words_per_row_ = 0;
    std::vector<std::uint64_t> matrix_;  // row `first`, bit `second`
    std::shared_ptr<const FluentSetTable> sets_;  // for the answers without a matrix
    std::vector<const EventFluentSets*> events_;  // by number, into sets_
};

template <class Relation>
std::vector<const EventFluentSets*> EventPairChecker<Relation>::numbered_events(const FluentSetTable& sets) const {
    std::vector<const EventFluentSets*> events;
    events.reserve(num_events());
    for (const auto& row : sets)
        for (const EventFluentSets& e : row) events.push_back(&e);
    return events;
}

template <class Relation>
void EventPairChecker<Relation>::init(const FluentSetTable& sets, std::shared_ptr<const FluentSetTable> shared,
                                      std::size_t max_matrix_events) {
    row_start_.clear();
    row_start_.reserve(sets.size() + 1);
    std::uint64_t next = 0;
    for (const auto& row : sets) {
        row_start_.push_back(next);
        next += row.size();
    }
    row_start_.push_back(next);
    const std::size_t n = static_cast<std::size_t>(next);
    if (n > max_matrix_events) {
        // Kept for answering: the numbers point into it, so it lives as long as the checker.
        sets_ = shared ? std::move(shared) : std::make_shared<const FluentSetTable>(sets);
        events_ = numbered_events(*sets_);
        return;
    }
    const std::vector<const EventFluentSets*> events = numbered_events(sets);
    const detail::FluentIndex index(events);
    words_per_row_ = (n + 63) / 64;
    matrix_.assign(std::max<std::size_t>(1, n * words_per_row_), 0);
    for (std::size_t first = 0; first < n; ++first) {
        std::uint64_t* row = matrix_.data() + first * words_per_row_;
        Relation::each_related(*events[first], index, [row](std::uint32_t t) { row[t >> 6] |= std::uint64_t{1} << (t & 63); });
    }
}

using MutexChecker = EventPairChecker<detail::Interferes>;
using PrecedenceChecker = EventPairChecker<detail::MustFollow>;

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

// One entry of a timed plan. In a temporal task every entry has a start; a duration of
// zero is absent. In a task without durations neither is present.
struct TimedPlanEntry {
    std::optional<Rational> start;
    Action action;
    std::optional<Rational> duration;
};
using TimedPlan = std::vector<TimedPlanEntry>;

// The prepared forms of one event, for the states of its search space's layout.
struct CompiledEvent {
    const Event* source = nullptr;  // the event they were prepared from
    CompiledCondition condition;
    std::vector<CompiledValue> effects;  // one per effect, in order
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
        return get_successor_state_with_compression(parent, action, true);
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

    StatePtr get_successor_state_with_compression(const State& parent, Action action, bool compress) const;
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
    void set_relevant_actions(std::vector<Action> actions) { relevant_actions_ = std::move(actions); }
    // The events of `action` in list order, or null when it has none.
    const std::vector<TimedEvent>* events_of(Action action) const noexcept;
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
    bool passes_object_filter(const State& parent, Action action) const;
    // Posts the duration, origin/horizon and event pinning constraints of a start.
    // `counter` is advanced as the points are numbered.
    void post_start_constraints(const State& parent, State& child, Action action,
                                const std::vector<TimedEvent>& events, std::uint32_t& counter) const;
    bool active_conditions_hold(const State& state, const State& over) const;
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
    CompiledCondition compiled_goal_;

    mutable std::mutex counter_mutex_;
    // Written under counter_mutex_, by temporal starts only; wraps modulo 2^32.
    mutable std::atomic<std::uint32_t> instance_counter_{0};
};

static_assert(SearchSpaceTrait<SearchSpace>);

}  // namespace quorvane
