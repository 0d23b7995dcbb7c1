// Weighted best-first search, unbounded (with a seen set) and memory-bounded (with a
// bounded open list and a Bloom filter): states are taken lowest w·h + (1 − w)·g first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "engine/search/evaluator.hpp"
#include "engine/search/duplicates.hpp"
#include "engine/search/frame.hpp"
#include "engine/search/open_lists.hpp"
#include "engine/space/search_space_trait.hpp"

namespace quorvane::search {

inline constexpr std::size_t kBoundedQueueCapacity = 400'000;

// w·h + (1 − w)·g in 64-bit floating point.
inline double weighted_priority(double weight, double h, double g) noexcept {
    return weight * h + (1.0 - weight) * g;
}

inline std::string weighted_parameters(double weight, std::optional<float> timeout, bool early_termination,
                                       bool weak_equality) {
    return "weight=" + format_number(weight) + " timeout=" + format_timeout(timeout) +
           " early_termination=" + format_flag(early_termination) + " weak_equality=" + format_flag(weak_equality);
}

// The loop of both weighted best-first searches over the states they keep in `store`,
// rooted at the initial state: each state is rebuilt from the store when taken for
// expansion, and each successor is offered to the open list `Open`, which stores it
// (or turns it away: kNoStateId), queues it, and lets go of what leaves it.
template <SearchSpaceTrait S, class H, class Open>
SearchResult weighted_store_loop(const SearchFrame<S>& frame, const S& space, const H& heuristic, double weight,
                                 StateStore& store, Open& open) {
    const bool full_paths = search_reads_paths(space, heuristic);
    std::uint64_t generated = 1;
    std::int32_t expanded = 0;
    // The state expanded and the successor being built, each rebuilt in the same memory.
    StateBox parent_box, scratch;
    while (true) {
        std::optional<StateId> next = open.pop();
        if (!next) return frame.exhausted(expanded);
        frame.check_time();
        bump(expanded);
        frame.progress(expanded, generated, [&] { return open.size(); });
        const StateId parent = *next;
        expansion_state_into(space, store, parent, full_paths, parent_box, scratch);
        const State* state = parent_box.get();
        if (frame.goal_when_expanded(*state)) return frame.found(store, parent, expanded);
        SuccessorsInPlace<S> successors(space, *state, scratch);
        while (const State* successor = successors.next()) {
            const StateId id = open.admit(*successor, parent, *state);
            if (id == kNoStateId) continue;
            std::optional<double> value = eval_within(heuristic, *successor, space, &frame.limit());
            if (frame.goal_when_generated(*successor)) return frame.found(store, id, expanded);
            if (value)
                open.push(weighted_priority(weight, *value, successor->g), id, running_count(*successor), generated);
            else
                open.dead_end(id);
            bump(generated);
        }
        open.expanded(parent);
    }
}

// The unbounded search's open list: a successor is stored unless the seen set holds an
// equal state, and stays stored until the search ends.
class UnboundedOpen {
  public:
    explicit UnboundedOpen(StateStore& store) : store_(&store) {}
    std::optional<StateId> pop() {
        std::optional<StoredEntry> e = heap_.pop();
        return e ? std::optional<StateId>(e->id) : std::nullopt;
    }
    std::size_t size() const noexcept { return heap_.size(); }
    StateId admit(const State& s, StateId parent, const State& parent_state) {
        return store_->add_unique(s, parent, parent_state);
    }
    void push(double priority, StateId id, std::uint32_t running, std::uint64_t /*counter*/) {
        heap_.push(StoredEntry{priority, id, running});
    }
    void dead_end(StateId) noexcept {}
    void expanded(StateId) noexcept {}

  private:
    StateStore* store_;
    BinaryHeap<StoredEntry, Worse> heap_;
};

// The memory-bounded search's open list over a releasing store: a successor the Bloom
// filter (if any) has not met is stored; a state is let go of once it has left the open
// list (dropped, a dead end, or expanded) and no state kept descends from it, so what
// the search keeps stays bounded by the open list.
class BoundedOpen {
  public:
    BoundedOpen(StateStore& store, StateBloomFilter* filter, std::size_t capacity)
        : store_(&store), filter_(filter), queue_(capacity) {}
    std::optional<StateId> pop() {
        std::optional<CountedEntry> e = queue_.pop();
        return e ? std::optional<StateId>(e->id) : std::nullopt;
    }
    std::size_t size() const noexcept { return queue_.size(); }
    StateId admit(const State& s, StateId parent, const State& parent_state) {
        if (filter_ && filter_->check_and_set(s)) return kNoStateId;
        return store_->add(s, parent, parent_state);
    }
    void push(double priority, StateId id, std::uint32_t running, std::uint64_t counter) {
        if (std::optional<CountedEntry> dropped = queue_.push(CountedEntry{priority, counter, id, running}))
            store_->release(dropped->id);
    }
    void dead_end(StateId id) noexcept { store_->release(id); }
    void expanded(StateId id) noexcept { store_->release(id); }

  private:
    StateStore* store_;
    StateBloomFilter* filter_;
    BoundedPriorityQueue<CountedEntry, Worse> queue_;
};

template <SearchSpaceTrait S, class H>
    requires HeuristicTrait<H, S>
SearchResult wastar_search(const S& space, const H& heuristic, double weight, std::optional<float> timeout,
                           bool early_termination, bool weak_equality) {
    SearchFrame frame(space, kTarget, "wastar_search",
                      weighted_parameters(weight, timeout, early_termination, weak_equality), timeout,
                      early_termination);
    StatePtr initial = space.initial_state(nullptr);
    if (frame.goal_when_generated(*initial)) return plan_of(*initial, 0);

    StateStore store(initial, seen_policy(space.is_temporal(), weak_equality));
    prepare_store(space, store);
    store.record_seen(0);
    std::optional<double> h0 = eval_within(heuristic, *initial, space, &frame.limit());
    if (!h0) return no_plan(0);
    UnboundedOpen open(store);
    open.push(*h0, 0, running_count(*initial), 0);
    initial.reset();
    return keeping_in(store, [&] { return weighted_store_loop(frame, space, heuristic, weight, store, open); });
}

template <SearchSpaceTrait S, class H>
    requires HeuristicTrait<H, S>
SearchResult wastar_search_memory_bounded(const S& space, const H& heuristic, double weight,
                                          std::optional<float> timeout, bool early_termination, bool weak_equality,
                                          std::size_t capacity = kBoundedQueueCapacity) {
    SearchFrame frame(space, kTarget, "wastar_search_memory_bounded",
                      weighted_parameters(weight, timeout, early_termination, weak_equality), timeout,
                      early_termination);
    StatePtr initial = space.initial_state(nullptr);
    if (frame.goal_when_generated(*initial)) return plan_of(*initial, 0);

    // A temporal task without weak equality has no duplicate detection at all.
    std::unique_ptr<StateBloomFilter> filter;
    if (!space.is_temporal() || weak_equality) {
        filter = std::make_unique<StateBloomFilter>(space.is_temporal());
        filter->check_and_set(*initial);
    }
    std::optional<double> h0 = eval_within(heuristic, *initial, space, &frame.limit());
    if (!h0) return no_plan(0);

    const std::uint32_t initial_running = running_count(*initial);
    StateStore store(std::move(initial), SeenPolicy::None, true);
    prepare_store(space, store);
    BoundedOpen open(store, filter.get(), capacity);
    open.push(*h0, 0, initial_running, 0);
    return keeping_in(store, [&] { return weighted_store_loop(frame, space, heuristic, weight, store, open); });
}

}  // namespace quorvane::search
