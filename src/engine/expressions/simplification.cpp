#include "engine/expressions/simplification.hpp"

#include <limits>
#include <optional>
#include <utility>

namespace quorvane {

namespace {

// Above this many nodes, a result is refused rather than built: duplicating shared
// nodes can make the result exponentially larger than its input (a chain of
// Plus(i - 1, i - 1) doubles with every node), which would only end in exhausted
// memory. Results no larger than their input are always built.
constexpr std::uint64_t kMaxSimplifiedNodes = std::uint64_t{1} << 24;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// Phase 1 fills one slot per input node. A folded sum or product needs a node for its
// constant; writing it over the first numeric operand would change that operand for
// every other operator sharing it, so the constant gets a slot of its own after the
// input's positions instead. Slots are never changed once written, which also keeps
// the node-equality test of Equals sound.
class WorkingList {
  public:
    explicit WorkingList(std::size_t n) : n_(n) {
        nodes_.reserve(n);
        sizes_.reserve(n);
    }

    std::size_t input_size() const noexcept { return n_; }

    const ExpressionNode& at(NodeIndex i) const {
        if (i < n_) return nodes_[i];
        return extra_nodes_[i - n_];
    }
    // Node count of the tree that phase 2 emits for slot i.
    std::uint64_t tree_size(NodeIndex i) const { return i < n_ ? sizes_[i] : 1; }

    void append(ExpressionNode node) {
        std::uint64_t size = 1;
        for (NodeIndex op : node.operands()) size = saturating_add(size, tree_size(op));
        nodes_.push_back(std::move(node));
        sizes_.push_back(size);
    }
    // A constant slot outside the input's positions; returns its index.
    NodeIndex add_constant(ExpressionNode node) {
        extra_nodes_.push_back(std::move(node));
        return n_ + (extra_nodes_.size() - 1);
    }

  private:
    std::size_t n_;
    std::vector<ExpressionNode> nodes_;
    std::vector<std::uint64_t> sizes_;
    std::vector<ExpressionNode> extra_nodes_;
};

std::optional<Rational> numeric_value(const ExpressionNode& node) {
    if (!node.is_number()) return std::nullopt;
    return get_rational_from_expression_node(node);
}

ExpressionNode simplify_junction(const ExpressionNode& node, const WorkingList& work) {
    // And drops true operands and is decided by a false one; Or is the dual.
    const bool is_and = node.kind() == NodeKind::And;
    std::vector<NodeIndex> kept;
    for (NodeIndex op : node.operands()) {
        const ExpressionNode& v = work.at(op);
        if (v.kind() == NodeKind::Bool) {
            if (v.as_bool() != is_and) return ExpressionNode::boolean(!is_and);
            continue;
        }
        kept.push_back(op);
    }
    if (kept.empty()) return ExpressionNode::boolean(is_and);
    if (kept.size() == 1) return work.at(kept[0]);
    return ExpressionNode::list(node.kind(), std::move(kept));
}

ExpressionNode simplify_fold(const ExpressionNode& node, WorkingList& work) {
    const bool plus = node.kind() == NodeKind::Plus;
    std::vector<NodeIndex> kept;
    std::optional<Rational> acc;
    std::size_t acc_slot = 0;  // where in `kept` the first numeric operand sits
    NodeIndex first_numeric = 0;
    for (NodeIndex op : node.operands()) {
        std::optional<Rational> v = numeric_value(work.at(op));
        if (!v) {
            kept.push_back(op);
        } else if (!acc) {
            acc = std::move(v);
            acc_slot = kept.size();
            first_numeric = op;
            kept.push_back(op);
        } else if (plus) {
            *acc += *v;
        } else {
            *acc *= *v;
        }
    }
    if (!acc) return node;
    ExpressionNode folded = ExpressionNode::number(std::move(*acc));
    if (kept.size() == 1) return folded;
    // When the first numeric operand already holds the folded value, in normal form,
    // it can serve as the constant itself.
    if (!(work.at(first_numeric) == folded)) kept[acc_slot] = work.add_constant(std::move(folded));
    return ExpressionNode::list(node.kind(), std::move(kept));
}

ExpressionNode simplify_node(const ExpressionNode& node, WorkingList& work, const FluentAssignments& assignments) {
    switch (node.kind()) {
        case NodeKind::Bool:
        case NodeKind::Int:
        case NodeKind::Object: return node;
        case NodeKind::Rational:
            if (node.as_rational().is_integer()) return ExpressionNode::integer(node.as_rational().numer());
            return node;
        case NodeKind::Fluent: {
            const ExpressionNode* v = assignments.find(node.fluent_index());
            // An assigned operator node names positions of some other expression: it
            // cannot be placed here, so the fluent stays undecided.
            if (v && !v->is_operator()) return *v;
            return node;
        }
        case NodeKind::And:
        case NodeKind::Or: return simplify_junction(node, work);
        case NodeKind::Not: {
            const ExpressionNode& a = work.at(node.operands()[0]);
            if (a.kind() == NodeKind::Bool) return ExpressionNode::boolean(!a.as_bool());
            return node;
        }
        case NodeKind::Equals: {
            const ExpressionNode& a = work.at(node.operands()[0]);
            const ExpressionNode& b = work.at(node.operands()[1]);
            if (a == b) return ExpressionNode::boolean(true);
            if (a.is_number() && b.is_number())
                return ExpressionNode::boolean(get_rational_from_expression_node(a) ==
                                               get_rational_from_expression_node(b));
            return node;
        }
        case NodeKind::LE:
        case NodeKind::LT:
        case NodeKind::Minus:
        case NodeKind::Div: {
            const ExpressionNode& an = work.at(node.operands()[0]);
            const ExpressionNode& bn = work.at(node.operands()[1]);
            if (!an.is_number() || !bn.is_number()) return node;
            Rational a = get_rational_from_expression_node(an);
            Rational b = get_rational_from_expression_node(bn);
            switch (node.kind()) {
                case NodeKind::LE: return ExpressionNode::boolean(a <= b);
                case NodeKind::LT: return ExpressionNode::boolean(a < b);
                case NodeKind::Minus: return ExpressionNode::number(a - b);
                default:
                    if (b.is_zero()) raise(ErrorKind::ZeroDivisionError, "division by zero");
                    return ExpressionNode::number(a / b);
            }
        }
        case NodeKind::Plus:
        case NodeKind::Times: return simplify_fold(node, work);
    }
    internal_error("unknown node kind");
}

// Re-emits, in post-order, every node that the last slot reaches.
FlatExpr emit_reachable(const WorkingList& work) {
    const NodeIndex root = work.input_size() - 1;
    const std::uint64_t total = work.tree_size(root);
    if (total > kMaxSimplifiedNodes && total > work.input_size())
        raise(ErrorKind::OverflowError, "the simplified expression would have too many nodes");

    FlatExpr out;
    out.reserve(total);
    struct Frame {
        NodeIndex slot;
        bool expanded;
    };
    std::vector<Frame> todo{{root, false}};
    std::vector<NodeIndex> emitted;  // new positions of operands not yet consumed
    while (!todo.empty()) {
        Frame& top = todo.back();
        const ExpressionNode& node = work.at(top.slot);
        auto ops = node.operands();
        if (ops.empty()) {
            emitted.push_back(out.size());
            out.push_back(node);
            todo.pop_back();
        } else if (!top.expanded) {
            top.expanded = true;  // `top` is not used after the pushes below
            for (auto it = ops.rbegin(); it != ops.rend(); ++it) todo.push_back({*it, false});
        } else {
            QV_REQUIRE(emitted.size() >= ops.size(), "operand positions missing while re-emitting");
            std::span<const NodeIndex> mine(emitted.data() + (emitted.size() - ops.size()), ops.size());
            ExpressionNode rebuilt = ExpressionNode::with_operands(node.kind(), mine);
            emitted.resize(emitted.size() - ops.size());
            emitted.push_back(out.size());
            out.push_back(std::move(rebuilt));
            todo.pop_back();
        }
    }
    return out;
}

}  // namespace

FlatExpr simplify(std::span<const ExpressionNode> expr, const FluentAssignments& assignments) {
    QV_REQUIRE(!expr.empty(), "cannot simplify an empty expression");
    WorkingList work(expr.size());
    for (std::size_t i = 0; i < expr.size(); ++i) {
        expr_detail::require_earlier_operands(expr[i], i);
        work.append(simplify_node(expr[i], work, assignments));
    }
    return emit_reachable(work);
}

}  // namespace quorvane
