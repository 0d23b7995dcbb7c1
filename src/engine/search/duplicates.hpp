// Duplicate detection beside the state store's seen set: the Bloom filter of the
// memory-bounded search.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/state/state.hpp"
#include "engine/state/state_store.hpp"
#include "engine/support/bloom_filter.hpp"

namespace quorvane::search {

using quorvane::seen_policy;
using quorvane::SeenPolicy;

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
