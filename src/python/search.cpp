// The ten search functions: each converts its arguments, borrows the search space,
// runs one engine search with the interpreter lock released (a custom heuristic and
// the logging bridge re-attach for their own calls) and turns the result into
// (plan, statistics).
#include "python/search.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "engine/heuristics/heuristic.hpp"
#include "engine/search/searches.hpp"
#include "python/attachment.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/heuristic.hpp"
#include "python/search_space.hpp"

namespace quorvane::python {

namespace {

using search::SearchResult;

// The nearest float, with IEEE rounding also beyond the float range (where a plain
// conversion is undefined): from halfway between the largest float and 2^128 on, infinity.
float nearest_float(double d) {
    constexpr double kHalfwayToInfinity = 3.4028235677973366e38;
    const double magnitude = std::fabs(d);
    if (std::isfinite(d) && magnitude > std::numeric_limits<float>::max()) {
        float limit = magnitude >= kHalfwayToInfinity ? std::numeric_limits<float>::infinity()
                                                      : std::numeric_limits<float>::max();
        return d < 0 ? -limit : limit;
    }
    return static_cast<float>(d);
}

// None, or a number converted to a double and then rounded to the nearest float.
// Infinity never runs out; NaN is no limit anyone means, and is refused.
std::optional<float> to_timeout(py::handle obj) {
    if (obj.is_none()) return std::nullopt;
    const double seconds = to_f64(obj, "timeout");
    if (std::isnan(seconds)) raise_arg_error(PyExc_ValueError, "timeout must not be NaN", "timeout");
    return nearest_float(seconds);
}

py::tuple result_to_py(const SearchResult& r) {
    py::object plan = py::none();
    if (r.plan) plan = action_list_to_py(*r.plan);
    py::dict stats;
    for (const auto& [key, value] : r.statistics) stats[py::str(key)] = py::str(value);
    return py::make_tuple(std::move(plan), std::move(stats));
}

// Runs `search` with the interpreter lock released (see run_detached), then builds the
// Python result. The borrow of the search space outlives the call.
template <class F>
py::tuple run_released(F&& search) {
    SearchResult result = run_detached(std::forward<F>(search));
    return result_to_py(result);
}

py::tuple basic(bool breadth_first, py::handle ss, py::handle timeout, py::handle early_termination) {
    SearchSpaceBorrow space(ss, "ss");
    std::optional<float> t = to_timeout(timeout);
    bool et = to_bool(early_termination, "early_termination");
    return run_released([&] { return search::basic_search(space.get(), breadth_first, t, et); });
}

// gbfs and astar are wastar with a fixed weight; without one the `weight` argument counts.
template <bool Bounded>
py::tuple weighted(std::optional<double> fixed, py::handle ss, py::handle heuristic, py::handle weight,
                   py::handle timeout, py::handle early_termination, py::handle weak_equality) {
    SearchSpaceBorrow space(ss, "ss");
    const Heuristic& h = to_heuristic(heuristic, "heuristic");
    double w = fixed ? *fixed : to_f64(weight, "weight");
    std::optional<float> t = to_timeout(timeout);
    bool et = to_bool(early_termination, "early_termination");
    bool weq = to_bool(weak_equality, "weak_equality");
    return run_released([&] {
        if constexpr (Bounded) return search::wastar_search_memory_bounded(space.get(), h, w, t, et, weq);
        else return search::wastar_search(space.get(), h, w, t, et, weq);
    });
}

// Weight in halves: 1 is A* (0.5, the order of h + g), 2 greedy best-first (1.0).
template <bool Bounded, int Halves>
py::tuple fixed_weight(py::handle ss, py::handle heuristic, py::handle timeout, py::handle early_termination,
                       py::handle weak_equality) {
    return weighted<Bounded>(Halves * 0.5, ss, heuristic, py::handle(), timeout, early_termination, weak_equality);
}

std::vector<std::pair<Heuristic, double>> to_heuristic_pairs(py::handle obj, const char* arg) {
    return sequence_to_vector<std::pair<Heuristic, double>>(
        obj, arg, "(Heuristic, float)", [arg](py::handle item) { return to_heuristic_pair(item, arg); });
}

py::tuple multiqueue(py::handle ss, py::handle heuristics, py::handle timeout, py::handle early_termination,
                     py::handle weak_equality) {
    SearchSpaceBorrow space(ss, "ss");
    std::vector<std::pair<Heuristic, double>> pairs = to_heuristic_pairs(heuristics, "heuristics");
    std::optional<float> t = to_timeout(timeout);
    bool et = to_bool(early_termination, "early_termination");
    bool weq = to_bool(weak_equality, "weak_equality");
    search::RoundRobinSwitchPolicy policy{pairs.size()};
    // The search takes the pair copies over and drops them with the interpreter lock
    // released: copies of a custom heuristic share the callable's one reference, which
    // never needs the lock to go away (see OwnedRef).
    return run_released(
        [&] { return search::_multiqueue_search(space.get(), std::move(pairs), policy, t, et, weq); });
}

py::tuple dfs(py::handle ss, py::handle timeout, py::handle early_termination) {
    return basic(false, ss, timeout, early_termination);
}

py::tuple bfs(py::handle ss, py::handle timeout, py::handle early_termination) {
    return basic(true, ss, timeout, early_termination);
}

template <bool Bounded>
py::tuple wastar(py::handle ss, py::handle heuristic, py::handle weight, py::handle timeout, py::handle et,
                 py::handle weq) {
    return weighted<Bounded>(std::nullopt, ss, heuristic, weight, timeout, et, weq);
}

py::tuple ehc(py::handle ss, py::handle heuristic, py::handle timeout, py::handle early_termination,
              py::handle weak_equality) {
    SearchSpaceBorrow space(ss, "ss");
    const Heuristic& h = to_heuristic(heuristic, "heuristic");
    std::optional<float> t = to_timeout(timeout);
    bool et = to_bool(early_termination, "early_termination");
    bool weq = to_bool(weak_equality, "weak_equality");
    return run_released([&] { return search::ehc_search(space.get(), h, t, et, weq); });
}

constexpr Row kSearchFunctions[] = {
    function<&dfs>("dfs_search", docs::kDfsSearch),
    function<&bfs>("bfs_search", docs::kBfsSearch),
    function<&multiqueue>("multiqueue_search", docs::kMultiqueueSearch),
    function<&wastar<false>>("wastar_search", docs::kWastarSearch),
    function<&wastar<true>>("wastar_search_memory_bounded", docs::kWastarSearchMemoryBounded),
    function<&fixed_weight<false, 1>>("astar_search", docs::kAstarSearch),
    function<&fixed_weight<true, 1>>("astar_search_memory_bounded", docs::kAstarSearchMemoryBounded),
    function<&fixed_weight<false, 2>>("gbfs_search", docs::kGbfsSearch),
    function<&fixed_weight<true, 2>>("gbfs_search_memory_bounded", docs::kGbfsSearchMemoryBounded),
    function<&ehc>("ehc_search", docs::kEhcSearch),
};

}  // namespace

void add_search_functions(ModuleBuilder& b) { b.def_functions(kSearchFunctions); }

}  // namespace quorvane::python
