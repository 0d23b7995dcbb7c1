// The evaluator template; included at the end of evaluation.hpp.
#pragma once

#include <cstddef>
#include <span>
#include <type_traits>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/expressions/evaluation.hpp"

namespace quorvane {

namespace expr_detail {

// Checks that every operand of the node at `pos` names an earlier node, so that
// reading operand values can never go past the values computed so far.
inline void require_earlier_operands(const ExpressionNode& node, std::size_t pos) {
    for (NodeIndex op : node.operands())
        QV_REQUIRE(op < pos, "an operand does not name an earlier node of the expression");
}

// Value of an operator node whose operand values are `*values[op]`. The operands
// must already have been checked against `values.size()`. Defined in
// evaluation.cpp: only the reading of fluents depends on the value source.
ExpressionNode evaluate_operator(const ExpressionNode& node, std::span<const ExpressionNode* const> values);

}  // namespace expr_detail

template <FluentValueSource S>
ExpressionNode internal_evaluate(std::span<const ExpressionNode> expr, const S& source) {
    QV_REQUIRE(!expr.empty(), "cannot evaluate an empty expression");
    const std::size_t last = expr.size() - 1;
    // Operand values are read where they live (the expression's constants, the
    // source's fluents when it holds nodes); only operator results, and the values of a
    // source that makes its nodes, are made here. The root's value is
    // returned, not stored, so neither list ever needs more room, and the results keep
    // their addresses. Conditions and effect values are mostly a handful of nodes:
    // those are evaluated without touching the heap.
    boost::container::small_vector<const ExpressionNode*, 8> values;
    boost::container::small_vector<ExpressionNode, 8> results;
    values.reserve(last);
    results.reserve(last);
    for (std::size_t i = 0;; ++i) {
        const ExpressionNode& node = expr[i];
        if (node.kind() == NodeKind::Fluent) {
            if constexpr (std::is_reference_v<decltype(source.fluent_value(node.fluent_index()))>) {
                const ExpressionNode& v = source.fluent_value(node.fluent_index());
                if (i == last) return ExpressionNode(v);
                values.push_back(&v);
            } else {
                if (i == last) return ExpressionNode(source.fluent_value(node.fluent_index()));
                results.push_back(source.fluent_value(node.fluent_index()));
                values.push_back(&results.back());
            }
        } else if (!node.is_operator()) {
            if (i == last) return node;
            values.push_back(&node);
        } else {
            expr_detail::require_earlier_operands(node, i);
            const std::span<const ExpressionNode* const> so_far(values.data(), values.size());
            if (i == last) return expr_detail::evaluate_operator(node, so_far);
            results.push_back(expr_detail::evaluate_operator(node, so_far));
            values.push_back(&results.back());
        }
    }
}

}  // namespace quorvane
