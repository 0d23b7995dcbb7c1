// The open lists of the best-first searches: their entries and order, an unbounded
// binary heap and a bounded queue that drops its worst entries.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/state/state.hpp"
#include "engine/state/state_store.hpp"
#include "engine/support/minmax_heap.hpp"

namespace quorvane::search {

// How many actions run in the state an entry holds: the tie-breaker after the priority.
inline std::size_t running_actions_of(const StatePtr& state) noexcept { return state ? state->todo.size() : 0; }

// One entry of a best-first open list; lower priority is better. `T` is what the entry
// holds: a state, or in the multi-queue search the record that all of one state's
// entries share (with a `running_actions_of` of its own).
template <class T>
struct Prioritized {
    T item;
    double priority = 0.0;
    std::uint64_t counter = 0;
    // The state's number of running actions, read once: ties are broken on it at every
    // heap step, and reaching into each state there costs a cache miss per comparison.
    std::size_t running = 0;

    Prioritized() = default;
    Prioritized(T x, double p, std::uint64_t c)
        : item(std::move(x)), priority(p), counter(c), running(running_actions_of(item)) {}
};
using PrioritizedItem = Prioritized<StatePtr>;

// Whether a is better than b: lower priority; then (equal, or either NaN) fewer
// running actions; then generated first (lower counter).
template <class T>
bool better(const Prioritized<T>& a, const Prioritized<T>& b) noexcept {
    if (a.priority < b.priority) return true;
    if (a.priority > b.priority) return false;
    if (a.running != b.running) return a.running < b.running;
    return a.counter < b.counter;
}
// An open-list entry of a state kept in a store. Ids are given in the order states are
// generated, so the id stands in for the generation counter.
struct StoredEntry {
    double priority = 0.0;
    StateId id = 0;
    std::uint32_t running = 0;
};
static_assert(sizeof(StoredEntry) == 16);

inline std::uint32_t running_count(const State& state) noexcept {
    return static_cast<std::uint32_t>(state.todo.size());
}

// The same order as for Prioritized entries.
inline bool better(const StoredEntry& a, const StoredEntry& b) noexcept {
    if (a.priority < b.priority) return true;
    if (a.priority > b.priority) return false;
    if (a.running != b.running) return a.running < b.running;
    return a.id < b.id;
}

struct Worse {
    template <class E>
    bool operator()(const E& a, const E& b) const noexcept {
        return better(b, a);
    }
};

// A binary heap that hands out its best entry; `Less(a, b)`: a comes out after b.
template <class T, class Less>
class BinaryHeap {
  public:
    bool empty() const noexcept { return items_.empty(); }
    std::size_t size() const noexcept { return items_.size(); }
    void push(T item) {
        items_.push_back(std::move(item));
        std::push_heap(items_.begin(), items_.end(), Less{});
    }
    std::optional<T> pop() {
        if (items_.empty()) return std::nullopt;
        std::pop_heap(items_.begin(), items_.end(), Less{});
        T out = std::move(items_.back());
        items_.pop_back();
        return out;
    }

  private:
    std::vector<T> items_;
};

// An open list that never holds more than `capacity` entries: once full, a new entry
// replaces the worst one if it is better, and is dropped otherwise.
template <class T, class Less>
class BoundedPriorityQueue {
  public:
    explicit BoundedPriorityQueue(std::size_t capacity) : heap_(capacity), capacity_(capacity) {
        QV_REQUIRE(capacity >= 1, "a bounded queue needs room for one entry");
    }

    void push(T entry) {
        if (heap_.size() < capacity_) {
            heap_.push(std::move(entry));
        } else if (Less{}(heap_.min(), entry)) {
            heap_.replace_min(std::move(entry));
        }
    }
    std::optional<T> pop() {
        if (heap_.size() == 0) return std::nullopt;
        return heap_.pop_max();
    }
    std::size_t size() const noexcept { return heap_.size(); }
    bool empty() const noexcept { return heap_.size() == 0; }

  private:
    support::MinMaxHeap<T, Less> heap_;
    std::size_t capacity_;
};

}  // namespace quorvane::search
