#include "python/expression_functions.hpp"

#include <pybind11/pybind11.h>

#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/simplification.hpp"
#include "engine/expressions/splitting.hpp"
#include "python/convert.hpp"
#include "python/docs.hpp"
#include "python/state.hpp"

namespace quorvane::python {

namespace {

py::list shift(py::handle exp, py::handle offset) {
    FlatExpr e = to_expr(exp, "exp");
    std::uint64_t off = to_u64(offset, "offset");
    return expr_to_py(shift_expression(e, off, ShiftDirection::Add));
}

py::object evaluate_expression(py::handle exp, py::handle state) {
    FlatExpr e = to_expr(exp, "exp");
    StatePtr s = to_state(state, "state");
    return node_to_py(internal_evaluate(e, *s));
}

py::list simplify_expression(py::handle exp, py::handle assignments) {
    FlatExpr e = to_expr(exp, "exp");
    check_dict(assignments, "assignments");
    FluentAssignments values;
    // Converting keys runs their __index__, which may change the dict: work on a snapshot.
    for (auto& [key, value] : dict_items(assignments, "assignments")) {
        std::uint64_t fluent = to_u64(key, "assignments");
        values.assign(fluent, to_node(value, "assignments"));
    }
    return expr_to_py(simplify(e, values));
}

py::list fluents_of(py::handle expr) {
    FlatExpr e = to_expr(expr, "expr");
    std::vector<std::uint64_t> fluents = get_fluents(e);
    py::list out(fluents.size());
    for (std::size_t i = 0; i < fluents.size(); ++i) out[i] = py::int_(fluents[i]);
    return out;
}

constexpr Row kShiftExpression[] = {function<&shift>("shift_expression", docs::kShiftExpression)};
constexpr Row kExpressionFunctions[] = {
    function<&evaluate_expression>("evaluate", docs::kEvaluate),
    function<&simplify_expression>("simplify", docs::kSimplify),
    function<&fluents_of>("get_fluents", docs::kGetFluents),
};

}  // namespace

void add_shift_expression(ModuleBuilder& b) { b.def_functions(kShiftExpression); }
void add_expression_functions(ModuleBuilder& b) { b.def_functions(kExpressionFunctions); }

}  // namespace quorvane::python
