// The multi-queue search: one open list per (heuristic, weight) pair, taken from in
// turn. Every new state is evaluated by every heuristic and queued in each list with
// that list's priority; a state expanded through one list is skipped when another
// list yields it later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/search/evaluator.hpp"
#include "engine/search/duplicates.hpp"
#include "engine/search/frame.hpp"
#include "engine/search/open_lists.hpp"
#include "engine/search/weighted.hpp"
#include "engine/space/search_space_trait.hpp"

namespace quorvane::search {

inline constexpr const char* kMultiqueueTarget = "quorvane_base::multiqueue";

// Takes the queues in turn, by expansions.
struct RoundRobinSwitchPolicy {
    std::size_t num_queues = 0;
    std::size_t select(std::uint64_t expanded) const {
        QV_REQUIRE(num_queues > 0, "a queue-selection policy over no queues");
        return static_cast<std::size_t>(expanded % num_queues);
    }
};

using MultiqueueQueue = BinaryHeap<QueuedState, Worse>;

// A successor that passed the seen set: where it is stored, and the state itself until
// every heuristic has evaluated it.
struct FreshState {
    StatePtr state;
    StateId id;
};

// Evaluates the fresh states with each queue's heuristic in turn, and queues those that
// are no dead end with that queue's priority.
template <SearchSpaceTrait S, class H>
void queue_fresh(const S& space, const std::vector<std::pair<H, double>>& pairs, const std::vector<FreshState>& fresh,
                 std::vector<MultiqueueQueue>& queues, const TimeLimit* limit) {
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const double w = pairs[i].second;
        for (const FreshState& f : fresh) {
            std::optional<double> value = eval_within(pairs[i].first, *f.state, space, limit);
            if (!value) continue;
            queues[i].push(QueuedState{weighted_priority(w, *value, f.state->g), f.id, running_count(*f.state)});
        }
    }
}

template <SearchSpaceTrait S, class H>
    requires HeuristicTrait<H, S>
SearchResult _multiqueue_search(const S& space, std::vector<std::pair<H, double>> pairs,
                                        RoundRobinSwitchPolicy policy, std::optional<float> timeout,
                                        bool early_termination, bool weak_equality) {
    SearchFrame frame(space, kMultiqueueTarget, "multiqueue_search",
                      "queues=" + std::to_string(pairs.size()) + " timeout=" + format_timeout(timeout) +
                          " early_termination=" + format_flag(early_termination) +
                          " weak_equality=" + format_flag(weak_equality),
                      timeout, early_termination);
    StatePtr initial = space.initial_state(nullptr);
    if (frame.goal_when_generated(*initial)) return plan_of(*initial, 0);

    const std::uint32_t initial_running = running_count(*initial);
    StateStore store(std::move(initial), seen_policy(space.is_temporal(), weak_equality));
    prepare_store(space, store);
    store.record_seen(0);
    // Whether each stored state has been expanded, through any queue.
    std::vector<bool> done(1, false);
    std::vector<MultiqueueQueue> queues(pairs.size());
    // The initial state is not evaluated: it is never a dead end here.
    for (MultiqueueQueue& q : queues) q.push(QueuedState{0.0, 0, initial_running});

    QV_REQUIRE(!pairs.empty(), "multiqueue_search needs at least one (heuristic, weight) pair");
    QV_REQUIRE(policy.num_queues == pairs.size(), "the queue-selection policy must cover every queue");

    bool full_paths = false;
    for (const auto& pair : pairs) full_paths = full_paths || search_reads_paths(space, pair.first);
    std::uint64_t expanded = 0;
    std::int32_t generated = 1;
    std::size_t last = 0;
    std::vector<FreshState> fresh;
    return keeping_in(store, [&]() -> SearchResult {
        // The state expanded and the successor being built, each rebuilt in the same memory.
        StateBox parent_box, scratch;
        while (true) {
            frame.check_time();
            // Only the queue used last decides the end, even when others still hold entries.
            if (queues[last].empty()) return frame.exhausted(static_cast<std::int64_t>(expanded));
            last = policy.select(expanded);
            std::optional<QueuedState> entry = queues[last].pop();
            if (!entry) continue;
            // Expanded through another queue (or earlier through this one): stale.
            if (done[entry->id]) continue;
            done[entry->id] = true;
            ++expanded;
            frame.progress(static_cast<std::int64_t>(expanded), generated, [&] {
                std::size_t open = 0;
                for (const MultiqueueQueue& q : queues) open += q.size();
                return open;
            });
            const StateId parent = entry->id;
            expansion_state_into(space, store, parent, full_paths, parent_box, scratch);
            const State* state = parent_box.get();
            if (frame.goal_when_expanded(*state))
                return frame.found(store, parent, static_cast<std::int64_t>(expanded));

            // Every successor is generated and filtered before any is evaluated.
            fresh.clear();
            SuccessorsInPlace<S> successors(space, *state, scratch);
            while (const State* successor = successors.next()) {
                bump(generated);
                if (frame.goal_when_generated(*successor))
                    return frame.found(store, store.add(*successor, parent, *state),
                                       static_cast<std::int64_t>(expanded));
                const StateId id = store.add_unique(*successor, parent, *state);
                if (id == kNoStateId) continue;
                done.push_back(false);
                fresh.push_back(FreshState{successors.take(), id});
            }
            queue_fresh(space, pairs, fresh, queues, &frame.limit());
            fresh.clear();
        }
    });
}

}  // namespace quorvane::search
