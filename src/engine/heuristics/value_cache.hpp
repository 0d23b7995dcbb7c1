// What the explicit and the delete-relaxation heuristics share: the value cache, keyed
// by a state's packed values and its actions' next events, and the distinct conditions of an
// event. Internal to the two heuristics' sources.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/expressions/node.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/expressions/splitting.hpp"
#include "engine/expressions/expression_manager.hpp"

namespace quorvane::heuristics_detail {

// The value-cache key: a state's values as its layout packs them, with the layout (keys
// meet only when their layouts have the same shape: equal values packed differently at
// worst miss the cache), and the next event of every listed action that is running, as
// (position in the list, next event) pairs in list order: the same information as one
// entry per listed action with 0 for those not running, in a few words.
// A state seen as a key, so that a lookup copies nothing. Its hash is worked out once,
// when the view is made, from the state's own hash of its values (equal values packed in
// the same shape hash alike), and serves the shard, the map and the stored key.
struct StateKeyView {
    StateKeyView(const State& s, const std::vector<std::uint64_t>& progress) noexcept
        : state(&s), event_progress(&progress), hash(hash_of(s, progress)) {}
    const State* state;
    const std::vector<std::uint64_t>* event_progress;
    std::size_t hash;

    const StateLayout& layout() const noexcept { return state->values.layout(); }
    const std::uint64_t* words() const noexcept { return state->values.words(); }
    std::span<const std::uint64_t> progress() const noexcept { return *event_progress; }

  private:
    static std::size_t hash_of(const State& s, const std::vector<std::uint64_t>& progress) noexcept {
        support::FxHasher h;
        h.add(s.values_hash());
        h.add(progress.size());
        for (std::uint64_t p : progress) h.add(p);
        return h.finish();
    }
};

class CacheKey {
  public:
    explicit CacheKey(const StateKeyView& key)
        : layout_(key.state->values.layout_ptr()), hash_(key.hash), boxed_(key.state->has_boxed()) {
        const std::size_t words = layout_->num_words();
        data_.reserve(words + key.event_progress->size());
        data_.assign(key.words(), key.words() + words);
        data_.insert(data_.end(), key.event_progress->begin(), key.event_progress->end());
        if (boxed_)
            for (std::size_t i = layout_->cell_begin(); i < words; ++i) Cell::retain(Cell::from_word(data_[i]));
    }
    CacheKey(CacheKey&& o) noexcept
        : layout_(std::move(o.layout_)), hash_(o.hash_), boxed_(o.boxed_), data_(std::move(o.data_)) {
        o.boxed_ = false;
    }
    CacheKey(const CacheKey&) = delete;
    CacheKey& operator=(const CacheKey&) = delete;
    CacheKey& operator=(CacheKey&&) = delete;
    ~CacheKey() {
        if (boxed_)
            for (std::size_t i = layout_->cell_begin(); i < layout_->num_words(); ++i)
                Cell::release(Cell::from_word(data_[i]));
    }

    std::size_t hash() const noexcept { return hash_; }
    const StateLayout& layout() const noexcept { return *layout_; }
    const std::uint64_t* words() const noexcept { return data_.data(); }
    std::span<const std::uint64_t> progress() const noexcept {
        return std::span<const std::uint64_t>(data_).subspan(layout_->num_words());
    }

  private:
    LayoutPtr layout_;
    std::size_t hash_;
    bool boxed_;
    // The words, then the progress pairs.
    std::vector<std::uint64_t> data_;
};

struct CacheKeyHash {
    using is_transparent = void;
    std::size_t operator()(const CacheKey& k) const noexcept { return k.hash(); }
    std::size_t operator()(const StateKeyView& k) const noexcept { return k.hash; }
};
struct CacheKeyEq {
    using is_transparent = void;
    // Keys of the same shape, progress and values; either side a stored key or a view.
    template <class A, class B>
    static bool same(const A& a, const B& b) noexcept {
        if (!a.layout().same_shape(b.layout())) return false;
        const auto pa = a.progress(), pb = b.progress();
        if (!std::equal(pa.begin(), pa.end(), pb.begin(), pb.end())) return false;
        return same_words(a.layout(), a.words(), b.words());
    }
    bool operator()(const CacheKey& a, const CacheKey& b) const noexcept { return same(a, b); }
    bool operator()(const CacheKey& a, const StateKeyView& b) const noexcept { return same(a, b); }
    bool operator()(const StateKeyView& a, const CacheKey& b) const noexcept { return same(b, a); }
};
using ValueMap = boost::unordered_flat_map<CacheKey, std::optional<double>, CacheKeyHash, CacheKeyEq>;

// The progress part of a state's key: for every one of `actions` that is running at a
// next event other than 0, its position in the list and that next event. Built in
// `progress`, kept by the caller so that a hit allocates nothing.
inline void fill_event_progress(const std::vector<Action>& actions, const State& state,
                                std::vector<std::uint64_t>& progress) {
    progress.clear();
    if (!state.todo.empty()) {
        for (std::size_t i = 0; i < actions.size(); ++i) {
            auto it = state.todo.find(actions[i]);
            if (it == state.todo.end() || it->second.next_event == 0) continue;
            progress.push_back(i);
            progress.push_back(it->second.next_event);
        }
    }
}

// The value stored under `key`, if any.
inline std::optional<std::optional<double>> find_value(const ValueMap& map, const StateKeyView& key) {
    if (auto it = map.find(key); it != map.end()) return it->second;
    return std::nullopt;
}

// Stores `value` under `key`; a value stored meanwhile under the same key stays.
inline void store_value(ValueMap& map, const StateKeyView& key, std::optional<double> value) {
    if (map.contains(key)) return;
    map.emplace(CacheKey(key), value);
}

// The value of `state` from `map`, or compute() stored under the state's key.
template <class Compute>
std::optional<double> cached_value(ValueMap& map, const std::vector<Action>& actions, const State& state,
                                   std::vector<std::uint64_t>& progress, Compute&& compute) {
    fill_event_progress(actions, state, progress);
    const StateKeyView key(state, progress);
    if (std::optional<std::optional<double>> hit = find_value(map, key)) return *hit;
    const std::optional<double> value = compute();
    store_value(map, key, value);
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

// Whether the goal can never be a boolean, as its root shows: a number, an object, an
// arithmetic result or a fluent that holds no boolean. The relaxations would take such
// a goal as one that is never reached and call every state a dead end; the search
// space's goal test refuses it instead, and so do the heuristics, at every evaluation.
inline bool goal_never_boolean(const FlatExpr& goal, const std::vector<std::string>& fluent_types) {
    if (goal.empty()) return false;
    const ExpressionNode& root = goal.back();
    switch (root.kind()) {
        case NodeKind::Int:
        case NodeKind::Rational:
        case NodeKind::Object:
        case NodeKind::Plus:
        case NodeKind::Minus:
        case NodeKind::Times:
        case NodeKind::Div: return true;
        case NodeKind::Fluent:
            return root.fluent_index() < fluent_types.size() && fluent_types[root.fluent_index()] != "bool";
        default: return false;
    }
}

// The value cache a heuristic shares with its copies, split into maps chosen by the
// key's hash, each under a lock of its own: threads evaluating side by side seldom meet
// at one lock, and none holds one while it computes.
class SharedValueCache {
  public:
    std::optional<std::optional<double>> find(const StateKeyView& key) {
        Shard& shard = shard_of(key);
        std::lock_guard<std::mutex> lock(shard.mutex);
        return find_value(shard.map, key);
    }
    // A value stored meanwhile by another evaluation stays (it is the same value).
    void store(const StateKeyView& key, std::optional<double> value) {
        Shard& shard = shard_of(key);
        std::lock_guard<std::mutex> lock(shard.mutex);
        store_value(shard.map, key, value);
    }

  private:
    static constexpr unsigned kShardBits = 5;
    struct alignas(64) Shard {
        std::mutex mutex;
        ValueMap map;
    };
    Shard& shard_of(const StateKeyView& key) {
        return shards_[key.hash >> (std::numeric_limits<std::size_t>::digits - kShardBits)];
    }
    std::array<Shard, std::size_t{1} << kShardBits> shards_;
};

}  // namespace quorvane::heuristics_detail
