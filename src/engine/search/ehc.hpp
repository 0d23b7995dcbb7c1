// Enforced hill climbing: breadth-first from the best state so far until a successor
// improves on it, then again from there, forgetting what was seen.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>

#include "engine/search/evaluator.hpp"
#include "engine/search/duplicates.hpp"
#include "engine/search/frame.hpp"
#include "engine/search/successors.hpp"
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

    std::deque<StatePtr> queue;
    queue.push_back(std::move(initial));
    // States are recorded when expanded, and forgotten at every improvement.
    SeenSet seen(seen_policy(space.is_temporal(), weak_equality));
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    while (!queue.empty()) {
        StatePtr state = std::move(queue.front());
        queue.pop_front();
        frame.check_time();
        bump(expanded);
        if (frame.goal_when_expanded(*state)) return frame.found(*state, expanded);
        seen.insert(state);
        auto unseen = [&seen](const StatePtr& s) { return !seen.contains(s); };
        auto stream = eval_gen(heuristic, successor_stream(space, state, unseen), space, &frame.limit());
        while (std::optional<EvaluatedState> item = stream.next()) {
            bump(generated);
            if (frame.goal_when_generated(*item->state)) return frame.found(*item->state, expanded);
            if (!item->value) continue;
            if (*item->value < best) {
                best = *item->value;
                queue.clear();
                queue.push_back(std::move(item->state));
                frame.debug([&] {
                    return "improved h=" + format_fixed4(best) + " expanded=" + std::to_string(expanded) +
                           " generated=" + std::to_string(generated);
                });
                seen.clear();
                break;
            }
            queue.push_back(std::move(item->state));
        }
    }
    return frame.exhausted(expanded);
}

}  // namespace quorvane::search
