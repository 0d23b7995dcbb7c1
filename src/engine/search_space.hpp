// The planning task as a forward state space: successors by applying the next event
// of an action, goal tests, the interference and precedence tests between events, and
// the scheduling of a plan into start times and durations.
#pragma once

#include <concepts>
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

#include "engine/errors.hpp"
#include "engine/expressions.hpp"
#include "engine/search_space_trait.hpp"
#include "engine/search_state.hpp"
#include "engine/structures.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/number.hpp"
#include "engine/tn_interpreter.hpp"

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

struct EventPairHash {
    std::size_t operator()(const EventPair& k) const noexcept {
        support::FxHasher h;
        h.add(k.first.action.idx);
        h.add(static_cast<std::uint64_t>(k.first.pos));
        h.add(k.second.action.idx);
        h.add(static_cast<std::uint64_t>(k.second.pos));
        return static_cast<std::size_t>(h.finish());
    }
};

namespace detail {
// A grow-only map from event pairs to answers, shared by all callers of one checker.
class PairMemo {
  public:
    // The stored answer for `key`, or compute(key) stored and returned. The answer is
    // computed before anything is stored, and the lock is released on every exit, so a
    // failing computation leaves neither a half-written entry nor a held lock.
    template <class F>
    bool get_or_compute(const EventPair& key, F&& compute) const {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = memo_.find(key); it != memo_.end()) return it->second;
        bool value = compute();
        memo_.emplace(key, value);
        return value;
    }
    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return memo_.size();
    }
    std::optional<bool> lookup(const EventPair& key) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = memo_.find(key);
        if (it == memo_.end()) return std::nullopt;
        return it->second;
    }

  private:
    mutable std::mutex mutex_;
    mutable boost::unordered_flat_map<EventPair, bool, EventPairHash> memo_;
};

// The sets of `ref`; an index outside the table is a broken precondition.
const EventFluentSets& fluent_sets_of(const FluentSetTable& table, const EventRef& ref);

// Whether two events of different actions interfere: one writes a fluent that the
// other reads or writes.
struct Interferes {
    static bool holds(const EventFluentSets& first, const EventFluentSets& second) noexcept;
};
// Whether, of two events of different actions, the second must not be placed before the
// first: the first writes a fluent of a durative condition that the second opens, or the
// second writes a fluent of one that the first closes.
struct MustFollow {
    static bool holds(const EventFluentSets& first, const EventFluentSets& second) noexcept;
};
}  // namespace detail

// A relation between the events of a search space, memoised by event pair. Events of
// one action are always related, without a memo entry.
template <class Relation>
class EventPairChecker {
  public:
    bool check(const EventPair& key, const FluentSetTable& sets) const {
        if (key.first.action == key.second.action) return true;
        return memo_.get_or_compute(key, [&] {
            const EventFluentSets& s = detail::fluent_sets_of(sets, key.first);
            const EventFluentSets& t = detail::fluent_sets_of(sets, key.second);
            return Relation::holds(s, t);
        });
    }
    std::size_t memo_size() const { return memo_.size(); }
    std::optional<bool> memo_lookup(const EventPair& key) const { return memo_.lookup(key); }

  private:
    detail::PairMemo memo_;
};

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
    bool expand_event(const State& parent, State& child, const Event& event, std::size_t pos,
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
    const FluentSetTable& fluent_sets() const noexcept { return fluent_sets_; }
    const TNInterpreter& tn_interpreter() const noexcept { return tn_interpreter_; }
    const MutexChecker& mutex_checker() const noexcept { return mutex_checker_; }
    const PrecedenceChecker& precedence_checker() const noexcept { return precedence_checker_; }
    const Rational& epsilon() const noexcept { return epsilon_; }
    double epsilon_float() const noexcept { return epsilon_float_; }
    std::optional<double> deadline() const noexcept { return deadline_; }
    std::uint32_t instance_counter() const;

  private:
    bool passes_object_filter(const State& parent, Action action) const;
    // Posts the duration, origin/horizon and event pinning constraints of a start.
    // `counter` is advanced as the points are numbered.
    void post_start_constraints(const State& parent, State& child, Action action,
                                const std::vector<TimedEvent>& events, std::uint32_t& counter) const;
    bool active_conditions_hold(const State& state, const State& over) const;

    std::vector<std::optional<DurationBounds>> actions_duration_;
    boost::unordered_flat_map<Action, std::vector<TimedEvent>, support::FxHash<Action>> events_;
    std::vector<Action> relevant_actions_;
    std::optional<std::vector<bool>> compression_safe_actions_;
    std::optional<std::vector<std::vector<std::string>>> action_objects_;
    std::optional<ObjectPrerequisites> obj_to_prev_actions_map_;
    std::optional<FlatExpr> initial_state_;
    std::optional<FlatExpr> goal_;
    FluentSetTable fluent_sets_;
    TNInterpreter tn_interpreter_;
    MutexChecker mutex_checker_;
    PrecedenceChecker precedence_checker_;
    Rational epsilon_;
    double epsilon_float_ = 0.01;
    std::optional<double> deadline_;
    bool is_temporal_ = false;

    mutable std::mutex counter_mutex_;
    mutable std::uint32_t instance_counter_ = 0;  // guarded by counter_mutex_; wraps modulo 2^32
};

static_assert(SearchSpaceTrait<SearchSpace>);

}  // namespace quorvane
