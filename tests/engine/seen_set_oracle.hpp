// The seen sets the searches used before they kept their states in a store, kept as
// the oracle the store's seen set is checked against: State equality (or identity)
// and the weak equality of temporal tasks, over shared states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/state/state.hpp"
#include "engine/state/state_store.hpp"

namespace quorvane::search {

using quorvane::SeenPolicy;

// A seen-set key that compares states by fluent values, running actions and their
// next events, ignoring instance numbers, networks, conditions, g and path. Its hash
// covers the values alone, which equal keys share.
class WeakEqState {
  public:
    explicit WeakEqState(StatePtr state) : state_(std::move(state)), hash_(state_->values_hash()) {}
    const StatePtr& state() const noexcept { return state_; }
    std::uint64_t hash() const noexcept { return hash_; }
    friend bool operator==(const WeakEqState& a, const WeakEqState& b) noexcept;

  private:
    StatePtr state_;
    std::uint64_t hash_;
};

// A seen-set key under State equality (or identity): one reference; the state keeps
// its hash.
class SharedStateKey {
  public:
    explicit SharedStateKey(StatePtr state) : state_(std::move(state)) {}
    const StatePtr& state() const noexcept { return state_; }
    std::uint64_t hash() const noexcept { return state_->hash(); }
    friend bool operator==(const SharedStateKey& a, const SharedStateKey& b) noexcept {
        // Equal states have equal hashes: the stored hashes turn away most other
        // candidates of a probe before any value is compared.
        return a.state_ == b.state_ || (a.hash() == b.hash() && *a.state_ == *b.state_);
    }

  private:
    StatePtr state_;
};
static_assert(sizeof(SharedStateKey) == 8);

struct CachedHash {
    template <class K>
    std::size_t operator()(const K& k) const noexcept {
        return static_cast<std::size_t>(k.hash());
    }
};


class SeenSet {
  public:
    explicit SeenSet(SeenPolicy policy) : policy_(policy) {}

    // Records the state; false when an equal one was recorded before (the set keeps
    // its entry). Without a set every state is new.
    bool insert(const StatePtr& state);
    bool contains(const StatePtr& state) const;
    void clear();
    std::size_t size() const noexcept { return states_.size() + weak_.size(); }

  private:
    SeenPolicy policy_;
    boost::unordered_flat_set<SharedStateKey, CachedHash> states_;
    boost::unordered_flat_set<WeakEqState, CachedHash> weak_;
};

// --- the sets ---------------------------------------------------------------------------

inline bool operator==(const WeakEqState& a, const WeakEqState& b) noexcept {
    // Both hashes cover the fluent values alone, which equal keys share.
    if (a.hash_ != b.hash_) return false;
    const State& x = *a.state_;
    const State& y = *b.state_;
    return x.values == y.values && same_running(x.todo, y.todo);
}

inline bool SeenSet::insert(const StatePtr& state) {
    switch (policy_) {
        case SeenPolicy::States: return states_.insert(SharedStateKey(state)).second;
        case SeenPolicy::WeakStates: return weak_.insert(WeakEqState(state)).second;
        case SeenPolicy::None: return true;
    }
    return true;
}

inline bool SeenSet::contains(const StatePtr& state) const {
    switch (policy_) {
        case SeenPolicy::States: return states_.contains(SharedStateKey(state));
        case SeenPolicy::WeakStates: return weak_.contains(WeakEqState(state));
        case SeenPolicy::None: return false;
    }
    return false;
}

inline void SeenSet::clear() {
    states_.clear();
    weak_.clear();
}

}  // namespace quorvane::search
