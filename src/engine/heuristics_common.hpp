// What the explicit and the delete-relaxation heuristics share: the value cache, keyed
// by a state's values and its actions' next events, and the distinct conditions of an
// event. Internal to the two heuristics' sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/expressions.hpp"
#include "engine/expressions_utils.hpp"
#include "engine/search_state.hpp"
#include "engine/structures.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane::heuristics_detail {

struct NodeHash {
    std::size_t operator()(const ExpressionNode& n) const noexcept {
        support::FxHasher h;
        n.hash_into(h);
        return h.finish();
    }
};

// The value-cache key: the state's values and each listed action's next event.
struct CacheKey {
    std::vector<ExpressionNode> values;
    std::vector<std::uint64_t> event_progress;
};
// A state seen as a key, so that a lookup never copies the state's values.
struct StateKeyView {
    const State* state;
    const std::vector<std::uint64_t>* event_progress;
};
struct CacheKeyHash {
    using is_transparent = void;
    template <class Values>
    static std::size_t hash(const Values& values, const std::vector<std::uint64_t>& progress) noexcept {
        support::FxHasher h;
        h.add(values.size());
        for (const auto& v : values) v.hash_into(h);
        h.add(progress.size());
        for (std::uint64_t p : progress) h.add(p);
        return h.finish();
    }
    std::size_t operator()(const CacheKey& k) const noexcept { return hash(k.values, k.event_progress); }
    std::size_t operator()(const StateKeyView& k) const noexcept { return hash(k.state->values, *k.event_progress); }
};
struct CacheKeyEq {
    using is_transparent = void;
    static bool same(const CacheKey& a, const StateKeyView& b) {
        if (a.event_progress != *b.event_progress) return false;
        const auto& values = b.state->values;
        if (a.values.size() != values.size()) return false;
        std::size_t i = 0;
        for (const auto& v : values)
            if (!(a.values[i++] == v)) return false;
        return true;
    }
    bool operator()(const CacheKey& a, const CacheKey& b) const {
        return a.values == b.values && a.event_progress == b.event_progress;
    }
    bool operator()(const CacheKey& a, const StateKeyView& b) const { return same(a, b); }
    bool operator()(const StateKeyView& a, const CacheKey& b) const { return same(b, a); }
};
using ValueMap = boost::unordered_flat_map<CacheKey, std::optional<double>, CacheKeyHash, CacheKeyEq>;

// The progress part of a state's key: for every one of `actions`, its next event (0
// when not running). Built in `progress`, kept by the caller so that a hit allocates
// nothing.
inline void fill_event_progress(const std::vector<Action>& actions, const State& state,
                                std::vector<std::uint64_t>& progress) {
    progress.clear();
    for (const Action a : actions) {
        auto it = state.todo.find(a);
        progress.push_back(it == state.todo.end() ? 0 : it->second.next_event);
    }
}

// The value stored for `state` (whose progress part is `progress`), if any.
inline std::optional<std::optional<double>> find_value(const ValueMap& map, const State& state,
                                                       const std::vector<std::uint64_t>& progress) {
    if (auto it = map.find(StateKeyView{&state, &progress}); it != map.end()) return it->second;
    return std::nullopt;
}

// Stores `value` under the state's key; a value stored meanwhile under the same key stays.
inline void store_value(ValueMap& map, const State& state, const std::vector<std::uint64_t>& progress,
                        std::optional<double> value) {
    if (map.contains(StateKeyView{&state, &progress})) return;
    CacheKey key;
    key.values.reserve(state.values.size());
    for (const ExpressionNode& v : state.values) key.values.push_back(v);
    key.event_progress = progress;
    map.emplace(std::move(key), value);
}

// The value of `state` from `map`, or compute() stored under the state's key.
template <class Compute>
std::optional<double> cached_value(ValueMap& map, const std::vector<Action>& actions, const State& state,
                                   std::vector<std::uint64_t>& progress, Compute&& compute) {
    fill_event_progress(actions, state, progress);
    if (std::optional<std::optional<double>> hit = find_value(map, state, progress)) return *hit;
    const std::optional<double> value = compute();
    store_value(map, state, progress, value);
    return value;
}

// An event's conditions as the relaxations take them: the parts of its condition, then
// its end conditions, each kept at its first appearance only. Repeats are recognised by
// their handles in `manager`, where every candidate is interned in that order.
inline std::vector<FlatExpr> distinct_event_conditions(const Event& event, ExpressionManager& manager) {
    std::vector<FlatExpr> candidates = split_expression(event.conditions);
    candidates.insert(candidates.end(), event.end_conditions.begin(), event.end_conditions.end());
    std::vector<FlatExpr> kept;
    boost::unordered_flat_set<std::uint64_t, support::FxHash<std::uint64_t>> met;
    for (FlatExpr& c : candidates)
        if (met.insert(manager.put(c).index).second) kept.push_back(std::move(c));
    return kept;
}

}  // namespace quorvane::heuristics_detail
