// What every search does around its loop: the start record and the clock, the goal
// tests on expansion or on generation, the goal and no-solution records with the
// result and its statistics, the progress record, and the texts of those records.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/space/search_space_trait.hpp"
#include "engine/state/state.hpp"
#include "engine/state/state_store.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/log.hpp"
#include "engine/support/number_format.hpp"
#include "engine/support/time_limit.hpp"

namespace quorvane::search {

inline constexpr const char* kTarget = "quorvane_base::search";
inline constexpr std::uint64_t kProgressEvery = 10000;

using Statistics = std::map<std::string, std::string>;

// A search that ends without a goal has no plan; only errors are thrown.
struct SearchResult {
    std::optional<std::vector<Action>> plan;
    Statistics statistics;
};

// One action per applied event of the state's path, oldest first.
std::vector<Action> extract_path(const State& state);

// The result of a search that ends without a plan.
SearchResult no_plan(std::int64_t expanded);
// The result of a search that reached `goal`.
SearchResult plan_of(const State& goal, std::int64_t expanded);
// The same for a goal the search keeps in `store`.
SearchResult plan_of(const StateStore& store, StateId goal, std::int64_t expanded);

// Whether the states a search hands to the space and the evaluator must carry their
// whole paths: when either may read them. A type that does not say may.
template <class S>
bool space_reads_paths(const S& space) {
    if constexpr (requires { space.reads_paths(); }) return space.reads_paths();
    else return true;
}
template <class S, class H>
bool search_reads_paths(const S& space, const H& heuristic) {
    bool heuristic_reads = true;
    if constexpr (requires { heuristic.reads_paths(); }) heuristic_reads = heuristic.reads_paths();
    return space_reads_paths(space) || heuristic_reads;
}

// Adds 1 to a 32-bit signed counter, wrapping instead of overflowing.
inline void bump(std::int32_t& n) noexcept {
    n = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1u);
}
inline void bump(std::uint64_t& n) noexcept { ++n; }

// Runs a search's loop over the states it keeps in `store`. Running out of memory frees
// the store at once, before the error goes on: its caller needs that memory back.
template <class Loop>
SearchResult keeping_in(StateStore& store, Loop&& loop) {
    try {
        return loop();
    } catch (const std::bad_alloc&) {
        store.release_now();
        throw;
    }
}

// --- temporal states kept without their networks ---------------------------------------

// A space that can make a successor again exactly as it made it before.
template <class S>
concept RebuildsSuccessors = requires(const S& s, const State& st, Action a, std::uint32_t i, StateBox& b) {
    { s.rebuild_successor_into(st, a, i, b) } -> std::same_as<bool>;
};

// A store of states from `space`: when the space can make its successors again, the
// networks of temporal states are kept for the states expanded only, and made again
// by `expansion_state_into`.
template <class S>
void prepare_store(const S& space, StateStore& store) noexcept {
    if constexpr (RebuildsSuccessors<S>)
        if (space.is_temporal()) store.keep_networks_of_expanded_only();
}

// Rebuilds stored state `id` for its expansion into `box` (as store.state_into does),
// making its network first when the store does not keep it: its parent (expanded
// before, so kept whole) is rebuilt into `box` and the step that made `id` applied again
// into `scratch`. The network is then kept, for the states expanded from `id`.
template <class S>
void expansion_state_into(const S& space, StateStore& store, StateId id, bool full_paths, StateBox& box,
                          StateBox& scratch) {
    if constexpr (RebuildsSuccessors<S>) {
        if (!store.network_kept(id)) {
            store.state_into(store.parent(id), full_paths, box);
            const PathEntry step = store.first_entry(id);
            const bool built = space.rebuild_successor_into(*box, step.action, step.instance, scratch);
            QV_REQUIRE(built && scratch->temporal_network, "a stored state could not be made again");
            store.keep_network(id, *scratch->temporal_network);
        }
    }
    store.state_into(id, full_paths, box);
}

// --- the frame --------------------------------------------------------------------------

using support::format_fixed4;
using support::format_flag;
using support::format_number;
using support::format_timeout;
using quorvane::elapsed_seconds_f32;
using quorvane::exceeds;
using quorvane::TimeLimit;

// One run of a search over `space`. Construction writes the start record
// ("<name>: <parameters>") and then starts the clock.
template <SearchSpaceTrait S>
class SearchFrame {
  public:
    SearchFrame(const S& space, const char* target, std::string name, const std::string& parameters,
                std::optional<float> timeout, bool early_termination)
        : space_(&space), target_(target), name_(std::move(name)), early_termination_(early_termination),
          limit_(announce(target_, name_, parameters, timeout)) {}

    const TimeLimit& limit() const noexcept { return limit_; }
    // Throws TimeoutError once the time limit has passed.
    void check_time() const { limit_.check(); }

    // Goals are tested when a state is taken for expansion, or, with early termination,
    // when it is generated (the initial state counts as generated).
    bool goal_when_expanded(const State& state) const {
        return !early_termination_ && space_->goal_reached(state, nullptr);
    }
    bool goal_when_generated(const State& state) const {
        return early_termination_ && space_->goal_reached(state, nullptr);
    }

    // The goal record and the result with the plan to `goal`.
    SearchResult found(const State& goal, std::int64_t expanded) const {
        found_record(goal.g, expanded);
        return plan_of(goal, expanded);
    }
    SearchResult found(const StateStore& store, StateId goal, std::int64_t expanded) const {
        found_record(store.g(goal), expanded);
        return plan_of(store, goal, expanded);
    }
    // The no-solution record and the result without a plan.
    SearchResult exhausted(std::int64_t expanded) const {
        QV_LOG(log::Level::Info, target_,
               name_ + ": no solution found \u2014 expanded=" + std::to_string(expanded));
        return no_plan(expanded);
    }
    // The progress record, every kProgressEvery expansions; `open_size()` is asked only
    // when the record is written.
    template <class G, class OpenSize>
    void progress(std::int64_t expanded, G generated, OpenSize&& open_size) const {
        if (expanded % static_cast<std::int64_t>(kProgressEvery) != 0) return;
        QV_LOG(log::Level::Debug, target_,
               name_ + ": expanded=" + std::to_string(expanded) + " generated=" + std::to_string(generated) +
                   " open=" + std::to_string(open_size()));
    }
    // A debug record of the search's own; `text()` is asked only when the record is written.
    template <class Text>
    void debug(Text&& text) const {
        QV_LOG(log::Level::Debug, target_, name_ + ": " + text());
    }

  private:
    void found_record(double depth, std::int64_t expanded) const {
        QV_LOG(log::Level::Info, target_,
               name_ + ": goal found \u2014 expanded=" + std::to_string(expanded) + " depth=" + format_number(depth));
    }
    static std::optional<float> announce(const char* target, const std::string& name, const std::string& parameters,
                                         std::optional<float> timeout) {
        QV_LOG(log::Level::Info, target, name + ": " + parameters);
        return timeout;
    }

    const S* space_;
    const char* target_;
    std::string name_;
    bool early_termination_;
    TimeLimit limit_;
};

}  // namespace quorvane::search
