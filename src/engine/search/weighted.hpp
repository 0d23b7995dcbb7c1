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

// The loop of the unbounded search over the states it keeps in `store`, whose root is
// the initial state, with value `h0`: a state is stored when generated unless the seen
// set holds an equal one, and rebuilt from the store when taken for expansion.
template <SearchSpaceTrait S, class H>
SearchResult stored_best_first_loop(const SearchFrame<S>& frame, const S& space, const H& heuristic, double weight,
                                    StateStore& store, double h0) {
    const bool full_paths = search_reads_paths(space, heuristic);
    BinaryHeap<StoredEntry, Worse> open;
    open.push(StoredEntry{h0, 0, running_count(*store.state(0, false))});
    std::uint64_t generated = 1;
    std::int32_t expanded = 0;
    // The state expanded and the successor being built, each rebuilt in the same memory.
    StateBox parent_box, scratch;
    while (true) {
        std::optional<StoredEntry> entry = open.pop();
        if (!entry) return frame.exhausted(expanded);
        frame.check_time();
        bump(expanded);
        frame.progress(expanded, generated, [&] { return open.size(); });
        const StateId parent = entry->id;
        store.state_into(parent, full_paths, parent_box);
        const State* state = parent_box.get();
        if (frame.goal_when_expanded(*state)) return frame.found(store, parent, expanded);
        SuccessorsInPlace<S> successors(space, *state, scratch);
        while (const State* successor = successors.next()) {
            const StateId id = store.add_unique(*successor, parent, *state);
            if (id == kNoStateId) continue;
            std::optional<double> value = eval_within(heuristic, *successor, space, &frame.limit());
            if (frame.goal_when_generated(*successor)) return frame.found(store, id, expanded);
            if (value)
                open.push(StoredEntry{weighted_priority(weight, *value, successor->g), id, running_count(*successor)});
            bump(generated);
        }
    }
}

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
    store.record_seen(0);
    std::optional<double> h0 = eval_within(heuristic, *initial, space, &frame.limit());
    if (!h0) return no_plan(0);
    initial.reset();
    return keeping_in(store, [&] { return stored_best_first_loop(frame, space, heuristic, weight, store, *h0); });
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

    // The store lets go of every state that leaves the open list, once no state kept
    // descends from it: what the search keeps stays bounded by the open list.
    const bool full_paths = search_reads_paths(space, heuristic);
    const std::uint32_t initial_running = running_count(*initial);
    StateStore store(std::move(initial), SeenPolicy::None, true);
    BoundedPriorityQueue<CountedEntry, Worse> open(capacity);
    auto push = [&](const CountedEntry& entry) {
        if (std::optional<CountedEntry> dropped = open.push(entry)) store.release(dropped->id);
    };
    push(CountedEntry{*h0, 0, 0, initial_running});
    std::uint64_t generated = 1;
    std::int32_t expanded = 0;
    return keeping_in(store, [&]() -> SearchResult {
        // The state expanded and the successor being built, each rebuilt in the same memory.
        StateBox parent_box, scratch;
        while (true) {
            std::optional<CountedEntry> entry = open.pop();
            if (!entry) return frame.exhausted(expanded);
            frame.check_time();
            bump(expanded);
            frame.progress(expanded, generated, [&] { return open.size(); });
            const StateId parent = entry->id;
            store.state_into(parent, full_paths, parent_box);
            const State* state = parent_box.get();
            if (frame.goal_when_expanded(*state)) return frame.found(store, parent, expanded);
            SuccessorsInPlace<S> successors(space, *state, scratch);
            while (const State* successor = successors.next()) {
                if (filter && filter->check_and_set(*successor)) continue;
                const StateId id = store.add(*successor, parent, *state);
                std::optional<double> value = eval_within(heuristic, *successor, space, &frame.limit());
                if (frame.goal_when_generated(*successor)) return frame.found(store, id, expanded);
                if (value)
                    push(CountedEntry{weighted_priority(weight, *value, successor->g), generated, id,
                                      running_count(*successor)});
                else
                    store.release(id);
                bump(generated);
            }
            store.release(parent);
        }
    });
}

}  // namespace quorvane::search
