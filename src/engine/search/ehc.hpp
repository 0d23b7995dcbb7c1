// Enforced hill climbing: breadth-first from the best state so far until a successor
// improves on it, then again from there, forgetting what was seen.
#pragma once

#include <cstdint>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "engine/search/evaluator.hpp"
#include "engine/search/duplicates.hpp"
#include "engine/search/frame.hpp"
#include "engine/space/search_space_trait.hpp"

namespace quorvane::search {

template <SearchSpaceTrait S, class H>
    requires HeuristicTrait<H, S>
SearchResult ehc_search(const S& space, const H& heuristic, std::optional<float> timeout, bool early_termination,
                        bool weak_equality) {
    SearchFrame frame(space, kTarget, "ehc_search",
                      "timeout=" + format_timeout(timeout) + " early_termination=" + format_flag(early_termination) +
                          " weak_equality=" + format_flag(weak_equality),
                      timeout, early_termination);
    StatePtr initial = space.initial_state(nullptr);
    if (frame.goal_when_generated(*initial)) return plan_of(*initial, 0);

    std::optional<double> h0 = eval_within(heuristic, *initial, space, &frame.limit());
    if (!h0) return no_plan(0);
    double best = *h0;
    frame.debug([&] { return "initial h=" + format_fixed4(best); });

    // Each climb keeps its states in a store of its own, rooted at the state it climbs
    // from: an improvement drops the store with the queue and the states seen.
    const bool full_paths = search_reads_paths(space, heuristic);
    const SeenPolicy policy = seen_policy(space.is_temporal(), weak_equality);
    std::optional<StateStore> store;
    store.emplace(std::move(initial), policy);
    std::deque<StateId> queue;
    queue.push_back(0);
    // States are recorded when expanded, and forgotten at every improvement.
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    try {
        // The state expanded and the successor being built, each rebuilt in the same memory.
        StateBox parent_box, scratch;
        while (!queue.empty()) {
            const StateId parent = queue.front();
            queue.pop_front();
            frame.check_time();
            bump(expanded);
            store->state_into(parent, full_paths, parent_box);
            const State* state = parent_box.get();
            if (frame.goal_when_expanded(*state)) return frame.found(*store, parent, expanded);
            store->record_seen(parent);
            SuccessorsInPlace<S> successors(space, *state, scratch);
            while (const State* successor = successors.next()) {
                if (store->seen(*successor)) continue;
                std::optional<double> value = eval_within(heuristic, *successor, space, &frame.limit());
                bump(generated);
                if (frame.goal_when_generated(*successor))
                    return frame.found(*store, store->add(*successor, parent, *state), expanded);
                if (!value) continue;
                if (*value < best) {
                    best = *value;
                    // The next climb starts from this state, with its whole path.
                    StatePtr root = full_paths ? successors.take()
                                               : store->state(store->add(*successor, parent, *state), true);
                    queue.clear();
                    queue.push_back(0);
                    frame.debug([&] {
                        return "improved h=" + format_fixed4(best) + " expanded=" + std::to_string(expanded) +
                               " generated=" + std::to_string(generated);
                    });
                    store.reset();
                    store.emplace(std::move(root), policy);
                    break;
                }
                queue.push_back(store->add(*successor, parent, *state));
            }
        }
    } catch (const std::bad_alloc&) {
        // The caller needs the memory back before the error reaches it.
        if (store) store->release_now();
        throw;
    }
    return frame.exhausted(expanded);
}

}  // namespace quorvane::search
