#include "engine/heuristics/heuristic.hpp"

namespace quorvane {

namespace {

const char* engine_name(const DeleteRelaxationHeuristic& h) noexcept { return h.name(); }
const char* engine_name(const HMaxExplicit&) noexcept { return "hmax_explicit"; }
const char* engine_name(const CustomHeuristic&) noexcept { return "custom"; }

std::optional<double> engine_eval(const DeleteRelaxationHeuristic& h, const State& state, const TimeLimit*) {
    return h.eval(state);
}
std::optional<double> engine_eval(const HMaxExplicit& h, const State& state, const TimeLimit* limit) {
    return h.eval(state, limit);
}
std::optional<double> engine_eval(const CustomHeuristic& h, const State& state, const TimeLimit*) {
    return h.eval(state);
}

}  // namespace

const char* Heuristic::name() const {
    return std::visit([](const auto& engine) { return engine_name(engine); }, engine_);
}

std::optional<double> Heuristic::eval_state(const State& state, const TimeLimit* limit) const {
    const char* key = name();
    if (cache_value_in_state_) {
        // The cache lock is held only for the lookup and the store, never while the
        // engine runs: a custom callable may evaluate this very state again.
        if (std::optional<std::optional<double>> hit = state.heuristic_cache.get(key)) return *hit;
    }
    std::optional<double> value =
        std::visit([&](const auto& engine) { return engine_eval(engine, state, limit); }, engine_);
    if (cache_value_in_state_) state.heuristic_cache.put(key, value);
    return value;
}

std::optional<std::vector<Action>> Heuristic::reachable_actions(const State& state) const {
    return std::visit(
        [&](const auto& engine) -> std::optional<std::vector<Action>> {
            if constexpr (ReportsReachableActions<std::decay_t<decltype(engine)>>)
                return engine.reachable_actions(state);
            else
                return std::nullopt;
        },
        engine_);
}

}  // namespace quorvane
