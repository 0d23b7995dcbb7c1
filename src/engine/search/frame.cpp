#include "engine/search/frame.hpp"

#include <algorithm>

namespace quorvane::search {

std::vector<Action> extract_path(const State& state) {
    std::vector<Action> plan;
    for (const PathEntry& entry : state.path.iter_rev()) plan.push_back(entry.action);
    std::reverse(plan.begin(), plan.end());
    return plan;
}

SearchResult no_plan(std::int64_t expanded) {
    SearchResult r;
    r.statistics.emplace("expanded_states", std::to_string(expanded));
    return r;
}

SearchResult plan_of(const State& goal, std::int64_t expanded) {
    SearchResult r;
    r.plan = extract_path(goal);
    r.statistics.emplace("expanded_states", std::to_string(expanded));
    r.statistics.emplace("goal_depth", format_number(goal.g));
    return r;
}

SearchResult plan_of(const StateStore& store, StateId goal, std::int64_t expanded) {
    SearchResult r;
    r.plan = store.plan(goal);
    r.statistics.emplace("expanded_states", std::to_string(expanded));
    r.statistics.emplace("goal_depth", format_number(store.g(goal)));
    return r;
}

}  // namespace quorvane::search
