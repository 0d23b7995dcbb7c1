#include "engine/space/search_space.hpp"

#include <optional>
#include <span>
#include <vector>

#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/splitting.hpp"

namespace quorvane {

namespace {
const FlatExpr& goal_or_fail(const FlatExpr* given, const std::optional<FlatExpr>& stored) {
    if (given) return *given;
    if (stored) return *stored;
    raise(ErrorKind::Exception, "The goal must be defined somewhere!");
}
}  // namespace

bool SearchSpace::goal_reached(const State& state, const FlatExpr* goal) const {
    if (!state.todo.empty()) return false;
    if (!goal && compiled_goal_.ready()) {
        const CompiledCondition::Result r = compiled_goal_.eval(state);
        if (r != CompiledCondition::kUnknown) return r == CompiledCondition::kTrue;
    }
    const FlatExpr& g = goal_or_fail(goal, goal_);
    ExpressionNode value = internal_evaluate(std::span<const ExpressionNode>(g), state);
    if (value.kind() != NodeKind::Bool) raise_goal_not_boolean();
    return value.as_bool();
}

std::vector<FlatExpr> SearchSpace::subgoals_sat(const State& state, const FlatExpr* goal) const {
    const FlatExpr& g = goal_or_fail(goal, goal_);
    std::vector<FlatExpr> conjuncts = split_expression(g);
    // Equal conjuncts are reported once; the order kept is that of first appearance.
    boost::unordered_flat_set<FlatExpr, FlatExprHash, FlatExprEq> seen;
    std::vector<FlatExpr> out;
    for (FlatExpr& c : conjuncts) {
        if (!internal_evaluate(std::span<const ExpressionNode>(c), state).is_true()) continue;
        if (seen.insert(c).second) out.push_back(std::move(c));
    }
    return out;
}

}  // namespace quorvane
