#include "engine/expressions/expression_manager.hpp"

namespace quorvane {

Expression ExpressionManager::put(std::span<const ExpressionNode> e) {
    auto it = expr_ids_.find(e);
    if (it != expr_ids_.end()) return it->second;
    Expression h{exprs_.size()};
    exprs_.emplace_back(e.begin(), e.end());
    expr_ids_.emplace(FlatExpr(e.begin(), e.end()), h);
    return h;
}

}  // namespace quorvane
