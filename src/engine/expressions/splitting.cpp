#include "engine/expressions/splitting.hpp"

#include <limits>
#include <optional>
#include <utility>

namespace quorvane {

// ---------------------------------------------------------------------------
// Splitting
// ---------------------------------------------------------------------------

namespace {

// The nodes at [begin, end] renumbered from 0. A node of the range may share a node
// that lies before `begin` (written once, used by several conjuncts); such nodes, and
// whatever they reach, are copied in front of the range so the part stands alone.
FlatExpr cut_part(std::span<const ExpressionNode> expr, std::size_t begin, std::size_t end) {
    bool reaches_before = false;
    for (std::size_t q = begin; q <= end; ++q) {
        for (NodeIndex op : expr[q].operands()) {
            QV_REQUIRE(op < q, "an operand does not name an earlier node of the expression");
            if (op < begin) reaches_before = true;
        }
    }

    // new_pos[q] for q < begin: the copy's position, or npos for nodes not needed.
    constexpr NodeIndex npos = std::numeric_limits<NodeIndex>::max();
    std::vector<NodeIndex> new_pos;
    std::size_t copied = 0;
    if (reaches_before) {
        std::vector<bool> needed(begin, false);
        for (std::size_t q = begin; q <= end; ++q)
            for (NodeIndex op : expr[q].operands())
                if (op < begin) needed[op] = true;
        // Operands lie before their node, so one backward sweep closes the set.
        for (std::size_t q = begin; q-- > 0;) {
            if (!needed[q]) continue;
            for (NodeIndex op : expr[q].operands()) {
                QV_REQUIRE(op < q, "an operand does not name an earlier node of the expression");
                needed[op] = true;
            }
        }
        new_pos.assign(begin, npos);
        for (std::size_t q = 0; q < begin; ++q)
            if (needed[q]) new_pos[q] = copied++;
    }

    auto renumber = [&](NodeIndex op) -> NodeIndex {
        if (op >= begin) return op - begin + copied;
        return new_pos[op];
    };
    FlatExpr part;
    part.reserve(copied + (end - begin + 1));
    std::vector<NodeIndex> ops;
    auto copy_node = [&](const ExpressionNode& node) {
        if (!node.is_operator()) {
            part.push_back(node);
            return;
        }
        ops.clear();
        for (NodeIndex op : node.operands()) ops.push_back(renumber(op));
        part.push_back(ExpressionNode::with_operands(node.kind(), ops));
    };
    for (std::size_t q = 0; q < new_pos.size(); ++q)
        if (new_pos[q] != npos) copy_node(expr[q]);
    for (std::size_t q = begin; q <= end; ++q) copy_node(expr[q]);
    return part;
}

}  // namespace

std::vector<FlatExpr> split_expression(std::span<const ExpressionNode> expr) {
    std::vector<FlatExpr> parts;
    if (expr.empty() || expr.back().kind() != NodeKind::And) {
        parts.emplace_back(expr.begin(), expr.end());
        return parts;
    }
    auto conjuncts = expr.back().operands();
    parts.reserve(conjuncts.size());
    std::size_t begin = 0;
    NodeIndex previous = 0;
    for (std::size_t j = 0; j < conjuncts.size(); ++j) {
        NodeIndex end = conjuncts[j];
        // The root itself is no conjunct: an operand naming it would make a part
        // that contains the conjunction and points at itself.
        QV_REQUIRE(end < expr.size() - 1, "a conjunct does not name an earlier node of the expression");
        QV_REQUIRE(j == 0 || end >= previous, "the conjuncts of a split are not in increasing order");
        if (end < begin) parts.emplace_back();  // repeats the conjunct before it
        else parts.push_back(cut_part(expr, begin, end));
        begin = end + 1;
        previous = end;
    }
    return parts;
}

// ---------------------------------------------------------------------------
// Shifting
// ---------------------------------------------------------------------------

namespace {

NodeIndex shift_index(NodeIndex i, std::uint64_t offset, ShiftDirection dir) {
    NodeIndex r;
    bool overflow = dir == ShiftDirection::Add ? __builtin_add_overflow(i, offset, &r)
                                               : __builtin_sub_overflow(i, offset, &r);
    if (overflow) raise(ErrorKind::Exception, debug_text(ArithmeticError::Overflow));
    return r;
}

}  // namespace

ExpressionNode do_shift(const ExpressionNode& node, std::uint64_t offset, ShiftDirection dir) {
    const NodeKind kind = node.kind();
    auto ops = node.operands();
    if (is_list_operator(kind)) {
        std::vector<NodeIndex> moved;
        moved.reserve(ops.size());
        for (NodeIndex op : ops) moved.push_back(shift_index(op, offset, dir));
        return ExpressionNode::list(kind, std::move(moved));
    }
    if (kind == NodeKind::Not) return ExpressionNode::negation(shift_index(ops[0], offset, dir));
    if (is_binary_operator(kind)) {
        NodeIndex left = shift_index(ops[0], offset, dir);
        NodeIndex right = shift_index(ops[1], offset, dir);
        return ExpressionNode::binary(kind, left, right);
    }
    return node;
}

FlatExpr shift_expression(std::span<const ExpressionNode> expr, std::uint64_t offset, ShiftDirection dir) {
    FlatExpr out;
    out.reserve(expr.size());
    for (const ExpressionNode& node : expr) out.push_back(do_shift(node, offset, dir));
    return out;
}

std::vector<std::uint64_t> get_fluents(std::span<const ExpressionNode> expr) {
    std::vector<std::uint64_t> out;
    for (const ExpressionNode& node : expr)
        if (node.kind() == NodeKind::Fluent) out.push_back(node.fluent_index());
    return out;
}

}  // namespace quorvane
