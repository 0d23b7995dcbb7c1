// The multi-queue search: one open list per (heuristic, weight) pair, taken from in
// turn. Every new state is evaluated by every heuristic and queued in each list with
// that list's priority; a state expanded through one list is skipped when another
// list yields it later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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

// One generated state and the flag, shared by all its queue entries, that says it has
// been expanded.
class StateContainer {
  public:
    explicit StateContainer(StatePtr state) : shared_(std::make_shared<Shared>(Shared{std::move(state), false})) {}

    const StatePtr& state() const noexcept { return shared_->state; }
    bool expanded() const noexcept { return shared_->expanded; }
    void set_expanded(bool value) noexcept { shared_->expanded = value; }

  private:
    // State and flag in one allocation: every entry of the state shares both.
    struct Shared {
        StatePtr state;
        bool expanded;
    };
    std::shared_ptr<Shared> shared_;
};

inline std::size_t running_actions_of(const StateContainer& c) noexcept { return c.state()->todo.size(); }

// Entries carry no generation counter (all 0): ties after the running actions are left
// to the heap.
using MultiqueueItem = Prioritized<StateContainer>;
using MultiqueueQueue = BinaryHeap<MultiqueueItem, Worse>;

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

    SeenSet seen(seen_policy(space.is_temporal(), weak_equality));
    StateContainer root(initial);
    seen.insert(initial);
    std::vector<MultiqueueQueue> queues(pairs.size());
    // The initial state is not evaluated: it is never a dead end here.
    for (MultiqueueQueue& q : queues) q.push(MultiqueueItem{root, 0.0, 0});

    QV_REQUIRE(!pairs.empty(), "multiqueue_search needs at least one (heuristic, weight) pair");
    QV_REQUIRE(policy.num_queues == pairs.size(), "the queue-selection policy must cover every queue");

    std::uint64_t expanded = 0;
    std::int32_t generated = 1;
    std::size_t last = 0;
    std::vector<StateContainer> fresh;
    while (true) {
        frame.check_time();
        // Only the queue used last decides the end, even when others still hold entries.
        if (queues[last].empty()) return frame.exhausted(static_cast<std::int64_t>(expanded));
        last = policy.select(expanded);
        std::optional<MultiqueueItem> entry = queues[last].pop();
        if (!entry) continue;
        // Expanded through another queue (or earlier through this one): stale.
        if (entry->item.expanded()) continue;
        entry->item.set_expanded(true);
        ++expanded;
        frame.progress(static_cast<std::int64_t>(expanded), generated, [&] {
            std::size_t open = 0;
            for (const MultiqueueQueue& q : queues) open += q.size();
            return open;
        });
        const StatePtr& state = entry->item.state();
        if (frame.goal_when_expanded(*state)) return frame.found(*state, static_cast<std::int64_t>(expanded));

        // Every successor is generated and filtered before any is evaluated.
        fresh.clear();
        auto successors = space.get_successor_states_iter(state);
        while (StatePtr successor = successors.next()) {
            bump(generated);
            if (frame.goal_when_generated(*successor))
                return frame.found(*successor, static_cast<std::int64_t>(expanded));
            if (!seen.insert(successor)) continue;
            fresh.emplace_back(std::move(successor));
        }
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const double w = pairs[i].second;
            auto values =
                eval_gen_container(pairs[i].first, std::span<const StateContainer>(fresh), space, &frame.limit());
            while (auto item = values.next()) {
                if (!item->second) continue;
                const StateContainer& c = fresh[item->first];
                queues[i].push(MultiqueueItem{c, weighted_priority(w, *item->second, c.state()->g), 0});
            }
        }
        fresh.clear();
    }
}

}  // namespace quorvane::search
