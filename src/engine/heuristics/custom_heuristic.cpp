#include "engine/heuristics/custom_heuristic.hpp"

namespace quorvane {

std::optional<double> CustomHeuristic::eval(const State& state) const {
    StatePtr copy = state.full_clone();
    return callable().call(std::move(copy));
}

}  // namespace quorvane
