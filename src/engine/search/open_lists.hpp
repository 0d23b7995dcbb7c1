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

// The entries of the open lists: a state's id in the search's store, its priority
// (lower is better) and how many actions run in it, read once: ties are broken on it
// at every heap step, and reaching into each state there would cost a cache miss per
// comparison. Then each kind breaks the remaining ties its own way (`tie`).

// In a store that never reuses ids, ids are given in the order states are generated:
// the id stands in for the generation counter.
struct StoredEntry {
    double priority = 0.0;
    StateId id = 0;
    std::uint32_t running = 0;
    std::uint64_t tie() const noexcept { return id; }
};
static_assert(sizeof(StoredEntry) == 16);

// In a store that reuses ids, the generation counter.
struct CountedEntry {
    double priority = 0.0;
    std::uint64_t counter = 0;
    StateId id = 0;
    std::uint32_t running = 0;
    std::uint64_t tie() const noexcept { return counter; }
};
static_assert(sizeof(CountedEntry) == 24);

// In the multi-queue search, nothing: the remaining ties are left to the heap.
struct QueuedState : StoredEntry {
    std::uint64_t tie() const noexcept { return 0; }
};
static_assert(sizeof(QueuedState) == 16);

inline std::uint32_t running_count(const State& state) noexcept {
    return static_cast<std::uint32_t>(state.todo.size());
}

// Whether a is better than b: lower priority; then (equal, or either NaN) fewer
// running actions; then the lower tie.
template <class E>
bool better(const E& a, const E& b) noexcept {
    if (a.priority < b.priority) return true;
    if (a.priority > b.priority) return false;
    if (a.running != b.running) return a.running < b.running;
    return a.tie() < b.tie();
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

    // The entry that no longer fits comes back: the worst one, replaced by `entry`, or
    // `entry` itself when it is no better.
    std::optional<T> push(T entry) {
        if (heap_.size() < capacity_) {
            heap_.push(std::move(entry));
            return std::nullopt;
        }
        if (Less{}(heap_.min(), entry)) return heap_.replace_min(std::move(entry));
        return entry;
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
