// hff, hadd and hmax over the delete relaxation: the heuristic builds the relaxed task
// once and compiles it into tables (relaxation_tables.*) that its copies share with the
// value cache and the kept workspaces, and evaluates states over them (propagation.*).
#include "engine/heuristics/delete_relaxation.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "engine/heuristics/propagation.hpp"
#include "engine/heuristics/relaxation_tables.hpp"
#include "engine/heuristics/relaxed_task.hpp"
#include "engine/heuristics/value_cache.hpp"
#include "engine/heuristics/workspace.hpp"

namespace quorvane {

using heuristics_detail::CompiledTask;
using heuristics_detail::Lease;
using heuristics_detail::RelaxedTask;
using heuristics_detail::SharedValueCache;
using heuristics_detail::Workspace;
using heuristics_detail::WorkspacePool;

struct DeleteRelaxationHeuristic::Impl {
    std::shared_ptr<const CompiledTask> task;
    std::shared_ptr<SharedValueCache> cache;  // null: no internal caching
    std::shared_ptr<WorkspacePool> workspaces;
    bool goal_never_boolean;

    Impl(std::shared_ptr<const CompiledTask> t, std::shared_ptr<SharedValueCache> c, std::shared_ptr<WorkspacePool> w,
         bool never_boolean)
        : task(std::move(t)), cache(std::move(c)), workspaces(std::move(w)), goal_never_boolean(never_boolean) {}

    std::optional<double> compute(const State& state, Workspace& w, std::vector<std::uint32_t>* reachable) const {
        if (goal_never_boolean) raise_goal_not_boolean();
        return heuristics_detail::evaluate(*task, w, state, reachable);
    }
};

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(const std::vector<Action>& actions,
                                                     const std::vector<std::string>& fluent_types,
                                                     const ObjectsByType& objects, const ActionEvents& events,
                                                     const FlatExpr& goals, bool internal_caching,
                                                     bool inadmissible_numeric_heuristic_variant,
                                                     bool disable_numeric_reasoning, RelaxationKind kind) {
    auto task = std::make_shared<const CompiledTask>(
        relaxation::build_relaxed_task(actions, fluent_types, objects, events, goals,
                                       inadmissible_numeric_heuristic_variant, disable_numeric_reasoning, kind));
    auto cache = internal_caching ? std::make_shared<SharedValueCache>() : nullptr;
    impl_ = std::make_unique<Impl>(std::move(task), std::move(cache), std::make_shared<WorkspacePool>(),
                                   heuristics_detail::goal_never_boolean(goals, fluent_types));
}

// Copies share the task, the value cache and the kept workspaces (an evaluation has the
// workspace it took to itself), so that copying costs a few reference counts and many
// copies used in turn by one thread use one workspace.
DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(const DeleteRelaxationHeuristic& o)
    : impl_(std::make_unique<Impl>(o.impl_->task, o.impl_->cache, o.impl_->workspaces, o.impl_->goal_never_boolean)) {}

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(DeleteRelaxationHeuristic&&) noexcept = default;

DeleteRelaxationHeuristic::~DeleteRelaxationHeuristic() = default;

std::optional<double> DeleteRelaxationHeuristic::eval(const State& state) const {
    Lease lease(*impl_->workspaces);
    Workspace& w = *lease;
    SharedValueCache* cache = impl_->cache.get();
    if (!cache) return impl_->compute(state, w, nullptr);
    // Evaluations of one heuristic and its copies run side by side: one that misses a
    // value another is computing just computes it as well.
    heuristics_detail::fill_event_progress(impl_->task->task.actions, state, w.progress);
    const heuristics_detail::StateKeyView key(state, w.progress);
    if (auto hit = cache->find(key)) return *hit;
    const std::optional<double> value = impl_->compute(state, w, nullptr);
    cache->store(key, value);
    return value;
}

std::vector<Action> DeleteRelaxationHeuristic::reachable_actions(const State& state) const {
    std::vector<std::uint32_t> ids;
    {
        Lease lease(*impl_->workspaces);
        impl_->compute(state, *lease, &ids);
    }
    const CompiledTask& t = *impl_->task;
    std::vector<std::uint32_t> reached(t.progress.size(), 0);
    for (std::uint32_t id : ids) ++reached[t.operator_slot[id]];
    std::vector<Action> out;
    for (std::uint32_t slot : t.slots_by_action) {
        const std::uint32_t count = t.progress[slot].operator_count;
        if (count != 0 && reached[slot] == count) out.push_back(t.progress[slot].action);
    }
    return out;
}

const char* DeleteRelaxationHeuristic::name() const noexcept {
    const RelaxedTask& t = impl_->task->task;
    const bool plain = !t.disable_numeric_reasoning;
    switch (t.kind) {
        case RelaxationKind::HFF: return plain ? "hff" : "hff_no_numbers";
        case RelaxationKind::HADD: return plain ? "hadd" : "hadd_no_numbers";
        case RelaxationKind::HMAX: return plain ? "hmax" : "hmax_no_numbers";
    }
    return "hff";
}

}  // namespace quorvane

