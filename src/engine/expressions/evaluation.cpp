#include "engine/expressions/evaluation.hpp"

#include <limits>
#include <optional>
#include <utility>


namespace quorvane {

namespace expr_detail {

ExpressionNode evaluate_operator(const ExpressionNode& node, std::span<const ExpressionNode* const> values) {
    auto ops = node.operands();
    switch (node.kind()) {
        case NodeKind::And:
            for (NodeIndex op : ops)
                if (!values[op]->is_true()) return ExpressionNode::boolean(false);
            return ExpressionNode::boolean(true);
        case NodeKind::Or:
            for (NodeIndex op : ops)
                if (values[op]->is_true()) return ExpressionNode::boolean(true);
            return ExpressionNode::boolean(false);
        case NodeKind::Not: return ExpressionNode::boolean(values[ops[0]]->is_false());
        case NodeKind::Equals: return ExpressionNode::boolean(*values[ops[0]] == *values[ops[1]]);
        case NodeKind::LE:
        case NodeKind::LT: {
            Rational a = get_rational_from_expression_node(*values[ops[0]]);
            Rational b = get_rational_from_expression_node(*values[ops[1]]);
            return ExpressionNode::boolean(node.kind() == NodeKind::LE ? a <= b : a < b);
        }
        case NodeKind::Plus:
        case NodeKind::Times: {
            QV_REQUIRE(!ops.empty(), "a sum or product needs at least one operand");
            Rational acc = get_rational_from_expression_node(*values[ops[0]]);
            const bool plus = node.kind() == NodeKind::Plus;
            for (NodeIndex op : ops.subspan(1)) {
                Rational v = get_rational_from_expression_node(*values[op]);
                if (plus) acc += v;
                else acc *= v;
            }
            return ExpressionNode::number(std::move(acc));
        }
        case NodeKind::Minus:
            return ExpressionNode::number(get_rational_from_expression_node(*values[ops[0]]) -
                                          get_rational_from_expression_node(*values[ops[1]]));
        case NodeKind::Div: {
            Rational a = get_rational_from_expression_node(*values[ops[0]]);
            Rational b = get_rational_from_expression_node(*values[ops[1]]);
            if (b.is_zero()) raise(ErrorKind::ZeroDivisionError, "division by zero");
            return ExpressionNode::number(a / b);
        }
        default: internal_error("evaluate_operator called on a node without operands");
    }
}

}  // namespace expr_detail

}  // namespace quorvane
