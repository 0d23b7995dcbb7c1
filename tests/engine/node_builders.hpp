// Short names for building expression nodes in the engine tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/expressions/node.hpp"

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

// `e` with `depth` more levels of one operator around its root, each keeping the root's
// value: `kind` is "not" (two negations cancel out), "and" (with true), "or" (with
// false), "+" or "-" (with 0), "*" or "/" (with 1).
inline FlatExpr nested(FlatExpr e, std::string_view kind, std::size_t depth) {
    const bool by_one = kind == "*" || kind == "/";
    const ExpressionNode neutral = kind == "and" ? B(true) : kind == "or" ? B(false) : by_one ? I(1) : I(0);
    e.reserve(e.size() + 2 * depth);
    for (std::size_t level = 0; level < depth; ++level) {
        const NodeIndex root = e.size() - 1;
        if (kind == "not") {
            e.push_back(Op(kind, {root}));
            continue;
        }
        e.push_back(neutral);
        e.push_back(Op(kind, {root, root + 1}));
    }
    return e;
}

// `left` compared with `right` by `kind` ("<", "<=" or "=="): left's nodes, then the
// constant, then the comparison.
inline FlatExpr compared(FlatExpr left, std::string_view kind, ExpressionNode right) {
    const NodeIndex root = left.size() - 1;
    left.push_back(std::move(right));
    left.push_back(Op(kind, {root, root + 1}));
    return left;
}

}  // namespace quorvane::test_nodes
