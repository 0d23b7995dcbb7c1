#include "engine/heuristics.hpp"

namespace quorvane {

std::optional<double> CustomHeuristic::eval(const State& state) const {
    StatePtr copy = state.full_clone();
    return callable().call(std::move(copy));
}

const char* Heuristic::name() const {
    if (hdr) return hdr->name();
    if (hmax_explicit) return "hmax_explicit";
    if (hcustom) return "custom";
    internal_error("a heuristic without an engine");
}

std::optional<double> Heuristic::eval_state(const State& state, const TimeLimit* limit) const {
    const char* key = name();
    if (cache_value_in_state) {
        // The cache lock is held only for the lookup and the store, never while the
        // engine runs: a custom callable may evaluate this very state again.
        if (std::optional<std::optional<double>> hit = state.heuristic_cache.get(key)) return *hit;
    }
    std::optional<double> value = dispatch(state, limit);
    if (cache_value_in_state) state.heuristic_cache.put(key, value);
    return value;
}

std::optional<double> Heuristic::dispatch(const State& state, const TimeLimit* limit) const {
    if (hdr) return hdr->eval(state);
    if (hmax_explicit) return hmax_explicit->eval(state, limit);
    if (hcustom) return hcustom->eval(state);
    internal_error("a heuristic without an engine");
}

}  // namespace quorvane
