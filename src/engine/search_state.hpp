// The search state: fluent values, running actions, active durative conditions,
// the temporal network, cost and path, plus a small cache of heuristic values.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions.hpp"
#include "engine/stn.hpp"
#include "engine/structures.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/persistent_vector.hpp"
#include "engine/utils.hpp"

namespace quorvane {

// One applied event: its action, its position in the action's list and its instance number.
struct PathEntry {
    Action action;
    std::uint64_t pos = 0;
    std::uint32_t instance = 0;
};

// A running action: the index of its next event and that event's instance number.
struct TodoEntry {
    std::uint64_t next_event = 0;
    std::uint32_t instance = 0;
};

using FloatNetwork = SearchNetwork;
using TodoMap = boost::unordered_flat_map<Action, TodoEntry, support::FxHash<Action>>;
// Multiset of durative conditions: a count per distinct expression.
using ConditionMultiset = boost::unordered_flat_map<FlatExpr, std::uint64_t, FlatExprHash, FlatExprEq>;

// Heuristic values computed for one state, by heuristic name; an entry without a
// number records a dead end. The only part of a shared state that changes.
class HeuristicCache {
  public:
    HeuristicCache() = default;
    HeuristicCache(const HeuristicCache&) = delete;
    HeuristicCache& operator=(const HeuristicCache&) = delete;

    // nullopt: nothing cached under `name`; otherwise the cached value (itself optional).
    std::optional<std::optional<double>> get(std::string_view name) const;
    void put(std::string_view name, std::optional<double> value);
    std::size_t size() const;
    void copy_from(const HeuristicCache& other);

  private:
    mutable std::mutex mutex_;
    // Few heuristics run per search: a flat list beats a hash map here.
    std::vector<std::pair<std::string_view, std::optional<double>>> entries_;
};

class State {
  public:
    support::PersistentVector<ExpressionNode> values;
    std::optional<FloatNetwork> temporal_network;
    TodoMap todo;
    ConditionMultiset active_conditions;
    double g = 0.0;
    PersistentList<PathEntry> path;
    // The one part of a shared state that changes after it is made; it guards itself.
    mutable HeuristicCache heuristic_cache;

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    State(State&&) = delete;

    // The copy a successor is built from: values, path and network edge lists are
    // shared; the heuristic cache starts empty.
    std::unique_ptr<State> clone_for_child() const;
    // The same copy, with the heuristic cache entries copied too.
    std::unique_ptr<State> full_clone() const;

    // Value of fluent `f` for the evaluator.
    const ExpressionNode& fluent_value(std::uint64_t f) const {
        QV_REQUIRE(f < values.size(), "fluent index beyond the state's values");
        return values[f];
    }
    std::size_t num_fluents() const noexcept { return values.size(); }

    // A state of a temporal task (one with a network) equals no state, itself included.
    // Otherwise two states are equal when their values are, and their running actions
    // stand at the same next events (instance numbers aside) under the same active
    // conditions: a running action or an open condition restricts what can follow, so
    // states that differ in them are different states.
    friend bool operator==(const State& a, const State& b) noexcept;
    // Consistent with ==. With nothing running and no condition open (every state of a
    // task whose actions have one event) it is the hash of the values alone.
    std::uint64_t hash() const noexcept;
    // The hash of the fluent values alone, in order.
    std::uint64_t values_hash() const noexcept;

    // Whether running actions and active conditions are part of this state's identity:
    // in a task without a network, once any is there.
    bool progress_in_identity() const noexcept {
        return !temporal_network && (!todo.empty() || !active_conditions.empty());
    }
    // Adds the running actions' next events and the active conditions with their
    // counts, independently of the maps' iteration order; instance numbers stay out.
    void hash_progress_into(support::FxHasher& h) const noexcept;

  private:
    void copy_fields_into(State& out) const;
};

using StatePtr = std::shared_ptr<const State>;

}  // namespace quorvane
