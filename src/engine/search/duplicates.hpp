// Duplicate detection: the seen sets of the searches, under State equality or the weak
// equality of temporal tasks, and the Bloom filter of the memory-bounded search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/state/state.hpp"
#include "engine/state/state_store.hpp"
#include "engine/support/bloom_filter.hpp"

namespace quorvane::search {

using quorvane::seen_policy;
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

// The key of a state in a Bloom filter, hashed with a seed drawn afresh for every
// filter: exactly what the search's duplicate rule compares. In a task that is not
// temporal, as State equality has it: the fluent values, the running actions' next
// events and the active conditions (with neither, the values alone). In a temporal
// task, as weak equality has it: the values and the running actions' next events.
class SeededStateHasher {
  public:
    explicit SeededStateHasher(bool temporal);
    SeededStateHasher(std::uint64_t seed, bool temporal) noexcept : seed_(seed), temporal_(temporal) {}
    std::uint64_t operator()(const State& state) const noexcept;

  private:
    std::uint64_t seed_;
    bool temporal_;
};

// The memory-bounded search's seen set.
class StateBloomFilter {
  public:
    static constexpr double kRate = 0.0001;
    static constexpr std::uint64_t kItems = 20'000'000;

    explicit StateBloomFilter(bool temporal) : hasher_(temporal), filter_(kRate, kItems) {}
    // Records the state's key; true when every bit of it was set already.
    bool check_and_set(const State& state) { return filter_.check_and_set(hasher_(state)); }

  private:
    SeededStateHasher hasher_;
    support::BloomFilter filter_;
};

}  // namespace quorvane::search
