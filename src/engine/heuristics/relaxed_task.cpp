// Construction of the relaxed task of hff, hadd and hmax.
//
// Every event becomes one relaxed operator: it never deletes, adds interned facts
// (atoms), changes numeric fluents by constant increments, constant assignments or
// other expressions, and applies under a small and/or tree of interned leaves. The
// events of one action are chained by progress fluents, so that they become applicable
// in order, starting from where the state says the action stands.
#include "engine/heuristics/relaxed_task.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/support/errors.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/heuristics/linear_polynomial.hpp"
#include "engine/heuristics/value_cache.hpp"
#include "engine/expressions/splitting.hpp"
#include "engine/expressions/expression_manager.hpp"

namespace quorvane::relaxation {

namespace {

using HandleSet = support::FxSet<Expression>;
template <class V>
using HandleMap = support::FxMap<Expression, V>;

using heuristics_detail::LinearPolynomial;
using heuristics_detail::to_linear_polynomial;

constexpr double kLowestFinite = -std::numeric_limits<double>::max();

// When no operator can move any linear condition by a negative amount there is no
// change to halve. The margin then only decides, for conditions lowered by an
// assignment or a complex effect, whether the condition's value is positive: a strict
// condition that fails in the state has sum + c >= 0 exactly, so any negative margin
// keeps it failing (value > 0, one application needed), while 0 would let sum + c = 0
// pass as if x < 3 held at x = 3. Half of the unit change an assignment counts as.
constexpr double kMarginWithoutChanges = -0.5;

// ---------------------------------------------------------------------------
// Facts and leaves.

Expression intern_atom(ExpressionManager& manager, std::uint64_t fluent, const ExpressionNode& value) {
    if (value.is_true()) {
        const ExpressionNode e[] = {ExpressionNode::fluent(fluent)};
        return manager.put(e);
    }
    if (value.is_false()) {
        const ExpressionNode e[] = {ExpressionNode::fluent(fluent), make_operator("not", {0})};
        return manager.put(e);
    }
    const ExpressionNode e[] = {ExpressionNode::fluent(fluent), value, make_operator("==", {0, 1})};
    return manager.put(e);
}

const ExpressionNode& operand_node(const FlatExpr& n, NodeIndex i) {
    QV_REQUIRE(i < n.size(), "an operand index beyond the end of its expression");
    return n[i];
}

// A leaf counts as numeric by the shape of its root (or of the negated node), never by
// the fluents' types: comparisons, arithmetic, and equalities without an object side.
bool is_numeric_leaf(const FlatExpr& n) {
    if (n.empty()) return false;
    const ExpressionNode* t = &n.back();
    if (t->kind() == NodeKind::Not) t = &operand_node(n, t->operands()[0]);
    switch (t->kind()) {
        case NodeKind::LE:
        case NodeKind::LT:
        case NodeKind::Plus:
        case NodeKind::Minus:
        case NodeKind::Times:
        case NodeKind::Div: return true;
        case NodeKind::Equals: {
            auto ops = t->operands();
            return operand_node(n, ops[0]).kind() != NodeKind::Object &&
                   operand_node(n, ops[1]).kind() != NodeKind::Object;
        }
        default: return false;
    }
}

// a - b for a comparison K(a, b) at the root, as a polynomial (nullopt: not linear).
std::optional<LinearPolynomial> comparison_difference(const FlatExpr& n) {
    FlatExpr copy = n;
    auto ops = copy.back().operands();
    QV_REQUIRE(ops.size() == 2, "a comparison without two operands");
    copy.back() = ExpressionNode::binary(NodeKind::Minus, ops[0], ops[1]);
    return to_linear_polynomial(copy);
}

// K(b, a) from the comparison operands a < b of `n`: the second operand's subtree first.
Expression invert_operands(const FlatExpr& n, NodeIndex a, NodeIndex b, NodeKind kind, ExpressionManager& manager) {
    QV_REQUIRE(a < b && b < n.size(), "comparison operands out of order");
    std::span<const ExpressionNode> first(n.data(), a + 1);
    std::span<const ExpressionNode> second(n.data() + a + 1, b - a);
    FlatExpr out = shift_expression(second, a + 1, ShiftDirection::Subtract);
    FlatExpr moved = shift_expression(first, second.size(), ShiftDirection::Add);
    out.insert(out.end(), std::make_move_iterator(moved.begin()), std::make_move_iterator(moved.end()));
    out.push_back(ExpressionNode::binary(kind, second.size() - 1, second.size() + first.size() - 1));
    return manager.put(out);
}

// ---------------------------------------------------------------------------
// Construction.

class Builder {
  public:
    Builder(RelaxedTask& h, const std::vector<std::string>& fluent_types,
            const ObjectsByType& objects)
        : h_(h), m_(h.manager), fluent_types_(fluent_types), objects_(objects) {
        for (std::size_t i = 0; i < objects.size(); ++i) object_types_.try_emplace(objects[i].first, i);
    }

    HeuristicExpression convert(std::span<const ExpressionNode> expr) {
        QV_REQUIRE(!expr.empty(), "a condition without nodes");
        HeuristicExpression out;
        std::vector<std::pair<std::size_t, bool>> stack{{expr.size() - 1, false}};
        while (!stack.empty()) {
            auto& [i, expanded] = stack.back();
            const std::size_t pos = i;
            const ExpressionNode& x = expr[pos];
            if (x.kind() == NodeKind::And || x.kind() == NodeKind::Or) {
                if (!expanded) {
                    expanded = true;
                    for (NodeIndex op : x.operands()) {
                        QV_REQUIRE(op < pos, "an operand does not name an earlier node of the condition");
                        stack.emplace_back(op, false);
                    }
                    continue;
                }
                stack.pop_back();
                if (x.kind() == NodeKind::And) {
                    out.entries.push_back(HNode::and_of(x.operands().size()));
                } else {
                    out.entries.push_back(HNode::or_of(x.operands().size()));
                    out.has_disjunction = true;
                }
            } else if (x.is_operator()) {
                stack.pop_back();
                std::size_t e = pos;
                while (expr[e].is_operator()) {
                    auto ops = expr[e].operands();
                    QV_REQUIRE(!ops.empty(), "an operator without operands where a leftmost node is sought");
                    QV_REQUIRE(ops[0] < e, "an operand does not name an earlier node of the condition");
                    e = ops[0];
                }
                FlatExpr leaf = shift_expression(expr.subspan(e, pos - e + 1), e, ShiftDirection::Subtract);
                out.entries.push_back(HNode::leaf(m_.put(leaf)));
            } else {
                stack.pop_back();
                out.entries.push_back(HNode::leaf(m_.put(expr.subspan(pos, 1))));
            }
        }
        return out;
    }

    HeuristicExpression simplify_condition(const HeuristicExpression& in) {
        HeuristicExpression out;
        out.has_disjunction = in.has_disjunction;
        out.entries.reserve(in.entries.size());
        for (const HNode& entry : in.entries) {
            if (entry.kind != HNode::Kind::Leaf) {
                out.entries.push_back(entry);
                continue;
            }
            // Copied: interning below may move the manager's lists.
            const FlatExpr n = m_.get(entry.handle());
            if (!h_.disable_numeric_reasoning && is_numeric_leaf(n)) {
                rewrite_numeric(entry, n, out);
                continue;
            }
            rewrite_object(entry, n, out);
        }
        return out;
    }

    void file_numeric(Expression h) {
        const FlatExpr n = m_.get(h);
        if (!is_numeric_leaf(n)) return;
        update_numeric_conditions(h, n);
    }

    void build(const std::vector<Action>& actions, const ActionEvents& events, const FlatExpr& goals);

  private:
    void rewrite_numeric(HNode entry, const FlatExpr& n, HeuristicExpression& out) {
        const ExpressionNode& r = n.back();
        const ExpressionNode* t = &r;
        if (r.kind() == NodeKind::Not) t = &operand_node(n, r.operands()[0]);
        const bool negated = t != &r;
        std::vector<HNode> replacement;
        Expression first{};
        bool disjunction = false;
        if (t->kind() == NodeKind::Equals) {
            const NodeIndex a = t->operands()[0], b = t->operands()[1];
            if (!negated) {
                FlatExpr le = n;
                le.back() = ExpressionNode::binary(NodeKind::LE, a, b);
                first = m_.put(le);
                const Expression second = invert_operands(n, a, b, NodeKind::LE, m_);
                replacement = {HNode::leaf(first), HNode::leaf(second), HNode::and_of(2)};
            } else {
                QV_REQUIRE(n.size() >= 2 && r.operands()[0] == n.size() - 2,
                           "a negated equality that does not stand right before its negation");
                FlatExpr lt(n.begin(), n.end() - 2);
                lt.push_back(ExpressionNode::binary(NodeKind::LT, a, b));
                first = m_.put(lt);
                const Expression second = invert_operands(n, a, b, NodeKind::LT, m_);
                replacement = {HNode::leaf(first), HNode::leaf(second), HNode::or_of(2)};
                disjunction = true;
            }
        } else if (negated && (t->kind() == NodeKind::LE || t->kind() == NodeKind::LT)) {
            const NodeIndex a = t->operands()[0], b = t->operands()[1];
            // not(a <= b) is b < a; not(a < b) is b <= a.
            const NodeKind k = t->kind() == NodeKind::LE ? NodeKind::LT : NodeKind::LE;
            first = invert_operands(n, a, b, k, m_);
            replacement = {HNode::leaf(first)};
        } else {
            out.entries.push_back(entry);
            return;
        }
        if (!comparison_difference(m_.get(first))) {
            out.entries.push_back(entry);
            return;
        }
        out.entries.insert(out.entries.end(), replacement.begin(), replacement.end());
        out.has_disjunction = out.has_disjunction || disjunction;
    }

    // not(f = o) over an object type: f holds one of the type's other objects.
    void rewrite_object(HNode entry, const FlatExpr& n, HeuristicExpression& out) {
        const bool shape = n.size() == 4 && n[0].kind() == NodeKind::Fluent && n[1].kind() == NodeKind::Object &&
                           n[2].kind() == NodeKind::Equals && n[3].kind() == NodeKind::Not;
        if (!shape || objects_.empty() || n[0].fluent_index() >= fluent_types_.size()) {
            out.entries.push_back(entry);
            return;
        }
        auto type = object_types_.find(fluent_types_[n[0].fluent_index()]);
        if (type == object_types_.end()) {
            out.entries.push_back(entry);
            return;
        }
        const std::uint64_t f = n[0].fluent_index();
        const std::string& excluded = n[1].object_name();
        std::size_t count = 0;
        for (const std::string& o : objects_[type->second].second) {
            if (o == excluded) continue;
            out.entries.push_back(HNode::leaf(intern_atom(m_, f, ExpressionNode::object(o))));
            ++count;
        }
        if (count == 0) {
            const ExpressionNode never[] = {ExpressionNode::boolean(false)};
            out.entries.push_back(HNode::leaf(m_.put(never)));
        } else if (count >= 2) {
            out.entries.push_back(HNode::or_of(count));
            out.has_disjunction = true;
        }
    }

    void update_numeric_conditions(Expression h, const FlatExpr& n) {
        auto other = [&] {
            if (other_seen_.insert(h).second) h_.other_numeric_conditions.push_back(h);
        };
        if (h_.disable_numeric_reasoning || n.empty() ||
            (n.back().kind() != NodeKind::LE && n.back().kind() != NodeKind::LT)) {
            other();
            return;
        }
        std::optional<LinearPolynomial> p = comparison_difference(n);
        if (!p) {
            other();
            return;
        }
        LinearCondition lc{h, {}, {}};
        lc.fluents.reserve(p->terms.size());
        lc.weights.reserve(p->terms.size() + 1);
        for (const auto& [f, w] : p->terms) {
            lc.fluents.push_back(f);
            lc.weights.push_back(w);
        }
        lc.weights.push_back(p->constant.value_or(0.0));
        auto [it, fresh] = linear_positions_.try_emplace(h, static_cast<std::uint32_t>(h_.linear_conditions.size()));
        if (fresh)
            h_.linear_conditions.push_back(std::move(lc));
        else
            h_.linear_conditions[it->second] = std::move(lc);
        if (n.back().kind() == NodeKind::LT) strict_.insert(h);
    }

    void classify_effect(const Effect& effect, Operator& op, std::size_t n);
    std::optional<FlatExpr> precondition_nodes(const Event& event, const ExpressionNode& previous);
    void numeric_tables();
    void lowered_and_margin();

    RelaxedTask& h_;
    ExpressionManager& m_;
    const std::vector<std::string>& fluent_types_;
    const ObjectsByType& objects_;
    boost::unordered_flat_map<std::string, std::size_t> object_types_;
    HandleMap<std::uint32_t> linear_positions_;
    HandleSet strict_;
    HandleSet other_seen_;
};

void Builder::classify_effect(const Effect& effect, Operator& op, std::size_t n) {
    const std::uint64_t f = effect.fluent;
    QV_REQUIRE(f < n, "an effect on a fluent beyond the task's fluents");
    const std::string& type = fluent_types_[f];
    const FlatExpr& v = effect.value;
    if (type == "bool") {
        if (v.size() == 1 && v[0].is_true()) {
            op.add_effects.push_back(intern_atom(m_, f, ExpressionNode::boolean(true)));
        } else if (v.size() == 1 && v[0].is_false()) {
            op.add_effects.push_back(intern_atom(m_, f, ExpressionNode::boolean(false)));
        } else {
            op.add_effects.push_back(intern_atom(m_, f, ExpressionNode::boolean(true)));
            op.add_effects.push_back(intern_atom(m_, f, ExpressionNode::boolean(false)));
        }
        return;
    }
    if (type == "int" || type == "real") {
        QV_REQUIRE(!op.has_numeric_effect(f), "two numeric effects on one fluent in one event");
        if (v.size() == 1 && v[0].is_number()) {
            op.constant_assign_effects.emplace(f, get_rational_from_expression_node(v[0]).to_double());
            return;
        }
        if (!v.empty()) {
            std::optional<LinearPolynomial> p = to_linear_polynomial(v);
            if (p && p->terms.size() == 1 && p->terms[0].first == f && p->terms[0].second == 1.0) {
                op.constant_increase_effects.emplace(f, p->constant.value_or(0.0));
                return;
            }
        }
        op.complex_numeric_effects.emplace(f, m_.put(v));
        return;
    }
    if (v.size() == 1 && v[0].kind() == NodeKind::Object) {
        op.add_effects.push_back(intern_atom(m_, f, v[0]));
        return;
    }
    auto it = object_types_.find(type);
    QV_REQUIRE(it != object_types_.end(), "an object-typed fluent whose type has no objects");
    for (const std::string& o : objects_[it->second].second)
        op.add_effects.push_back(intern_atom(m_, f, ExpressionNode::object(o)));
}

// The precondition of an event's operator: the event's conditions and `previous`, the
// progress atom of the event before it. Nullopt when a condition is always false.
std::optional<FlatExpr> Builder::precondition_nodes(const Event& event, const ExpressionNode& previous) {
    const std::vector<FlatExpr> conditions = heuristics_detail::distinct_event_conditions(event, m_);
    FlatExpr nodes;
    std::size_t reserve = 2;
    for (const FlatExpr& c : conditions) reserve += c.size();
    nodes.reserve(reserve);
    std::vector<NodeIndex> roots;
    for (const FlatExpr& c : conditions) {
        if (c.size() == 1 && c[0].is_false()) return std::nullopt;
        if (c.empty() || (c.size() == 1 && c[0].is_true())) continue;
        FlatExpr moved = shift_expression(c, nodes.size(), ShiftDirection::Add);
        nodes.insert(nodes.end(), std::make_move_iterator(moved.begin()), std::make_move_iterator(moved.end()));
        roots.push_back(nodes.size() - 1);
    }
    const bool conjunction = !roots.empty();
    nodes.push_back(previous);
    roots.push_back(nodes.size() - 1);
    if (conjunction) nodes.push_back(ExpressionNode::list(NodeKind::And, std::move(roots)));
    return nodes;
}

void Builder::build(const std::vector<Action>& actions, const ActionEvents& events, const FlatExpr& goals) {
    const std::size_t n = fluent_types_.size();
    ActionMap<const std::vector<TimedEvent>*> by_action;
    std::size_t total_events = 0;
    for (const auto& [a, list] : events) {
        by_action.insert_or_assign(a, &list);
        total_events += list.size();
    }
    h_.operators.reserve(total_events);
    FlatExpr idle_nodes;
    idle_nodes.reserve(events.size() + 1);
    std::uint64_t counter = n;

    for (const Action a : actions) {
        auto found = by_action.find(a);
        if (found == by_action.end()) continue;
        const std::vector<TimedEvent>& list = *found->second;
        const std::uint64_t k = list.size();
        // With k = 0 this names the fluent before the action's empty range; such an
        // action has no progress atoms, which evaluation rejects.
        const ExpressionNode idle = ExpressionNode::fluent(counter + k - 1);
        idle_nodes.push_back(idle);
        ExpressionNode previous = idle;
        std::vector<Expression> progress;
        progress.reserve(k);
        for (const auto& [timing, event] : list) {
            const std::uint64_t p = counter;
            Operator op;
            const ExpressionNode own[] = {ExpressionNode::fluent(p)};
            const Expression own_atom = m_.put(own);
            progress.push_back(own_atom);
            op.add_effects.push_back(own_atom);
            for (const Effect& effect : event.effects) classify_effect(effect, op, n);

            if (std::optional<FlatExpr> nodes = precondition_nodes(event, previous)) {
                op.precondition = simplify_condition(convert(*nodes));
                QV_REQUIRE(h_.operators.size() < std::numeric_limits<std::uint32_t>::max(), "too many operators");
                op.id = static_cast<std::uint32_t>(h_.operators.size());
                op.action = a;
                op.cost = 1.0;
                h_.operators.push_back(std::move(op));
            }
            previous = ExpressionNode::fluent(p);
            ++counter;
        }
        h_.progress_atoms.insert_or_assign(a, std::move(progress));
    }

    std::stable_sort(h_.operators.begin(), h_.operators.end(),
                     [](const Operator& x, const Operator& y) { return x.action.idx < y.action.idx; });
    for (std::size_t i = 0; i < h_.operators.size(); ++i) h_.operators[i].id = static_cast<std::uint32_t>(i);

    QV_REQUIRE(!goals.empty(), "the goal has no nodes");
    h_.goal_condition = simplify_condition(convert(goals));

    std::vector<NodeIndex> idle_roots(idle_nodes.size());
    for (std::size_t i = 0; i < idle_roots.size(); ++i) idle_roots[i] = i;
    idle_nodes.push_back(ExpressionNode::list(NodeKind::And, std::move(idle_roots)));
    h_.idle_condition = convert(idle_nodes);

    numeric_tables();
    lowered_and_margin();

    for (const auto& [a, list] : events) h_.event_counts.insert_or_assign(a, list.size());

}

void Builder::numeric_tables() {
    for (const Operator& op : h_.operators) {
        if (op.precondition.entries.empty()) {
            h_.empty_precondition_operators.push_back(op.id);
            continue;
        }
        for (const HNode& e : op.precondition.entries)
            if (e.kind == HNode::Kind::Leaf) file_numeric(e.handle());
    }
    for (const HNode& e : h_.goal_condition.entries)
        if (e.kind == HNode::Kind::Leaf) file_numeric(e.handle());
}

void Builder::lowered_and_margin() {
    h_.lowered_conditions.assign(h_.operators.size(), {});
    double best = kLowestFinite;
    const bool inadmissible = h_.inadmissible_numeric_heuristic_variant;
    for (const Operator& op : h_.operators) {
        for (std::size_t li = 0; li < h_.linear_conditions.size(); ++li) {
            const LinearCondition& lc = h_.linear_conditions[li];
            if (lc.fluents.empty()) continue;
            const std::uint32_t pos = static_cast<std::uint32_t>(li);
            if (!inadmissible) {
                bool assigned = false;
                for (std::uint64_t f : lc.fluents) assigned = assigned || op.assigns(f);
                if (assigned) {
                    h_.lowered_conditions[op.id].push_back({pos, 0.0, true});
                    continue;
                }
            }
            double d = 0.0;
            bool assigned = false;
            for (std::size_t j = 0; j < lc.fluents.size(); ++j) {
                const std::uint64_t f = lc.fluents[j];
                if (auto inc = op.constant_increase_effects.find(f); inc != op.constant_increase_effects.end()) {
                    d += lc.weights[j] * inc->second;
                } else if (op.assigns(f)) {
                    d += -1.0;
                    assigned = true;
                }
            }
            if (d < 0) {
                best = std::max(best, d);
                h_.lowered_conditions[op.id].push_back({pos, d, assigned});
            }
        }
    }
    const double margin = best > kLowestFinite ? 0.5 * best : kMarginWithoutChanges;
    for (Expression h : strict_) {
        auto it = linear_positions_.find(h);
        if (it == linear_positions_.end()) continue;
        std::vector<double>& w = h_.linear_conditions[it->second].weights;
        if (!w.empty()) w.back() -= margin;
    }
}

}  // namespace

RelaxedTask build_relaxed_task(const std::vector<Action>& actions, const std::vector<std::string>& fluent_types,
                               const ObjectsByType& objects, const ActionEvents& events, const FlatExpr& goals,
                               bool inadmissible_numeric_heuristic_variant, bool disable_numeric_reasoning,
                               RelaxationKind kind) {
    RelaxedTask task;
    task.actions = actions;
    task.inadmissible_numeric_heuristic_variant = inadmissible_numeric_heuristic_variant;
    task.disable_numeric_reasoning = disable_numeric_reasoning;
    task.kind = kind;
    Builder builder(task, fluent_types, objects);
    builder.build(actions, events, goals);
    return task;
}

}  // namespace quorvane::relaxation
