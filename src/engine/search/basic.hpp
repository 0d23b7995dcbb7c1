// Breadth-first and depth-first search: no heuristic, no duplicate detection.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/search/frame.hpp"
#include "engine/space/search_space_trait.hpp"

namespace quorvane::search {

template <SearchSpaceTrait S>
SearchResult breadth_first_over(const SearchFrame<S>& frame, const S& space, StateStore& store, bool full_paths);

// Breadth first: every state generated is kept in the store (without duplicate
// detection) until the search ends, and rebuilt when its turn comes.
template <SearchSpaceTrait S>
SearchResult breadth_first_loop(const SearchFrame<S>& frame, const S& space, StatePtr initial) {
    const bool full_paths = space_reads_paths(space);
    StateStore store(std::move(initial), SeenPolicy::None);
    prepare_store(space, store);
    return keeping_in(store, [&] { return breadth_first_over(frame, space, store, full_paths); });
}

template <SearchSpaceTrait S>
SearchResult breadth_first_over(const SearchFrame<S>& frame, const S& space, StateStore& store, bool full_paths) {
    std::deque<StateId> queue;
    queue.push_back(0);
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    // The state expanded and the successor being built, each rebuilt in the same memory.
    StateBox parent_box, scratch;
    while (!queue.empty()) {
        frame.check_time();
        const StateId parent = queue.front();
        queue.pop_front();
        bump(expanded);
        frame.progress(expanded, generated, [&] { return queue.size(); });
        expansion_state_into(space, store, parent, full_paths, parent_box, scratch);
        const State* state = parent_box.get();
        if (frame.goal_when_expanded(*state)) return frame.found(store, parent, expanded);
        SuccessorsInPlace<S> successors(space, *state, scratch);
        while (const State* successor = successors.next()) {
            const StateId id = store.add(*successor, parent, *state);
            if (frame.goal_when_generated(*successor)) return frame.found(store, id, expanded);
            queue.push_back(id);
            bump(generated);
        }
    }
    return frame.exhausted(expanded);
}

// Depth first: the states on the stack are the only ones kept (with their paths), so
// memory follows the stack, not the number of states generated.
template <SearchSpaceTrait S>
SearchResult depth_first_loop(const SearchFrame<S>& frame, const S& space, StatePtr initial) {
    std::vector<StatePtr> stack;
    stack.push_back(std::move(initial));
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    while (!stack.empty()) {
        frame.check_time();
        StatePtr state = std::move(stack.back());
        stack.pop_back();
        bump(expanded);
        frame.progress(expanded, generated, [&] { return stack.size(); });
        if (frame.goal_when_expanded(*state)) return frame.found(*state, expanded);
        auto successors = space.get_successor_states_iter(std::move(state));
        while (StatePtr successor = successors.next()) {
            if (frame.goal_when_generated(*successor)) return frame.found(*successor, expanded);
            stack.push_back(std::move(successor));
            bump(generated);
        }
    }
    return frame.exhausted(expanded);
}

template <SearchSpaceTrait S>
SearchResult basic_search(const S& space, bool breadth_first, std::optional<float> timeout,
                          bool early_termination) {
    SearchFrame frame(space, kTarget, breadth_first ? "bfs" : "dfs",
                      "timeout=" + format_timeout(timeout) + " early_termination=" + format_flag(early_termination),
                      timeout, early_termination);
    StatePtr initial = space.initial_state(nullptr);
    if (frame.goal_when_generated(*initial)) return plan_of(*initial, 0);
    if (breadth_first) return breadth_first_loop(frame, space, std::move(initial));
    return depth_first_loop(frame, space, std::move(initial));
}

}  // namespace quorvane::search
