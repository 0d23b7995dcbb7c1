// Short names for building expression nodes in the engine tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/expressions.hpp"

namespace quorvane::test_nodes {

inline ExpressionNode B(bool v) { return ExpressionNode::boolean(v); }
inline ExpressionNode I(std::int64_t v) { return ExpressionNode::integer(Integer(v)); }
inline ExpressionNode R(std::int64_t n, std::int64_t d) {
    return ExpressionNode::rational(Rational(Integer(n), Integer(d)));
}
inline ExpressionNode F(std::uint64_t f) { return ExpressionNode::fluent(f); }
inline ExpressionNode O(std::string name) { return ExpressionNode::object(std::move(name)); }
inline ExpressionNode Op(std::string_view kind, std::vector<NodeIndex> operands) {
    return make_operator(kind, std::move(operands));
}

}  // namespace quorvane::test_nodes
