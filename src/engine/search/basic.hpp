// Breadth-first and depth-first search: no heuristic, no duplicate detection.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "engine/search/frame.hpp"
#include "engine/space/search_space_trait.hpp"

namespace quorvane::search {

template <SearchSpaceTrait S>
SearchResult basic_search(const S& space, bool breadth_first, std::optional<float> timeout,
                          bool early_termination) {
    SearchFrame frame(space, kTarget, breadth_first ? "bfs" : "dfs",
                      "timeout=" + format_timeout(timeout) + " early_termination=" + format_flag(early_termination),
                      timeout, early_termination);
    StatePtr initial = space.initial_state(nullptr);
    if (frame.goal_when_generated(*initial)) return plan_of(*initial, 0);

    std::deque<StatePtr> queue;
    queue.push_back(std::move(initial));
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    while (!queue.empty()) {
        frame.check_time();
        StatePtr state;
        if (breadth_first) {
            state = std::move(queue.front());
            queue.pop_front();
        } else {
            state = std::move(queue.back());
            queue.pop_back();
        }
        bump(expanded);
        frame.progress(expanded, generated, [&] { return queue.size(); });
        if (frame.goal_when_expanded(*state)) return frame.found(*state, expanded);
        auto successors = space.get_successor_states_iter(std::move(state));
        while (StatePtr successor = successors.next()) {
            if (frame.goal_when_generated(*successor)) return frame.found(*successor, expanded);
            queue.push_back(std::move(successor));
            bump(generated);
        }
    }
    return frame.exhausted(expanded);
}

}  // namespace quorvane::search
