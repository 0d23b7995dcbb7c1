// hff, hadd and hmax over the delete relaxation of the event-based task.
//
// Construction turns every event into one relaxed operator: it never deletes, adds
// interned facts (atoms), changes numeric fluents by constant increments, constant
// assignments or other expressions, and applies under a small and/or tree of
// interned leaves. The events of one action are chained by progress fluents, so
// that they become applicable in order, starting from where the state says the
// action stands. Evaluation then propagates costs over handles round by round.
#include "engine/heuristics_relaxation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <span>
#include <string_view>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/errors.hpp"
#include "engine/expressions_utils.hpp"
#include "engine/heuristics_common.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

namespace {

// ---------------------------------------------------------------------------
// Small hashing helpers over the Fx hasher.

struct U64Hash {
    std::size_t operator()(std::uint64_t v) const noexcept {
        support::FxHasher h;
        h.add(v);
        return h.finish();
    }
};
struct ActionHash {
    std::size_t operator()(Action a) const noexcept { return U64Hash{}(a.idx); }
};
struct HandleHash {
    std::size_t operator()(Expression e) const noexcept { return U64Hash{}(e.index); }
};
using heuristics_detail::NodeHash;

template <class V>
using FluentMap = boost::unordered_flat_map<std::uint64_t, V, U64Hash>;
template <class V>
using ActionMap = boost::unordered_flat_map<Action, V, ActionHash>;
template <class V>
using HandleMap = boost::unordered_flat_map<Expression, V, HandleHash>;
using HandleSet = boost::unordered_flat_set<Expression, HandleHash>;

constexpr double kLowestFinite = -std::numeric_limits<double>::max();
constexpr double kHighestFinite = std::numeric_limits<double>::max();
// Absent costs are NaN: no cost that propagation produces can be NaN (offers that
// would be are dropped), and NaN never compares lower than anything.
constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
inline bool present(double c) noexcept { return !std::isnan(c); }
constexpr std::uint32_t kNoOperator = std::numeric_limits<std::uint32_t>::max();

// When no operator can move any linear condition by a negative amount there is no
// change to halve. The margin then only decides, for conditions lowered by an
// assignment or a complex effect, whether the condition's value is positive: a strict
// condition that fails in the state has sum + c >= 0 exactly, so any negative margin
// keeps it failing (value > 0, one application needed), while 0 would let sum + c = 0
// pass as if x < 3 held at x = 3. Half of the unit change an assignment counts as.
constexpr double kMarginWithoutChanges = -0.5;

// ---------------------------------------------------------------------------
// Conditions in postfix form.

struct HNode {
    enum class Kind : std::uint8_t { And, Or, Leaf };
    Kind kind;
    std::uint64_t value;  // operand count, or the leaf's handle index
    static HNode and_of(std::uint64_t n) { return {Kind::And, n}; }
    static HNode or_of(std::uint64_t n) { return {Kind::Or, n}; }
    static HNode leaf(Expression h) { return {Kind::Leaf, h.index}; }
    Expression handle() const { return Expression{value}; }
};

struct HeuristicExpression {
    std::vector<HNode> entries;
    bool has_disjunction = false;
};

struct LinearCondition {
    Expression handle;
    std::vector<std::uint64_t> fluents;
    std::vector<double> weights;  // one per fluent, then the constant term
};

// A linear condition that an operator's numeric effects can bring closer to holding,
// with the change per application worked out once here instead of per state.
struct LoweredCondition {
    std::uint32_t linear;  // position in Impl::linear_conditions
    double change;         // the negative change d (unused when `assigned` decides)
    bool assigned;         // some fluent is assigned or changed by a complex effect
};

struct Operator {
    HeuristicExpression precondition;
    std::vector<Expression> add_effects;
    FluentMap<double> constant_increase_effects;
    FluentMap<double> constant_assign_effects;
    FluentMap<Expression> complex_numeric_effects;
    std::uint32_t id = 0;
    Action action;
    double cost = 1.0;

    bool has_numeric_effect(std::uint64_t f) const {
        return constant_increase_effects.contains(f) || constant_assign_effects.contains(f) ||
               complex_numeric_effects.contains(f);
    }
    bool assigns(std::uint64_t f) const {
        return constant_assign_effects.contains(f) || complex_numeric_effects.contains(f);
    }
};

// ---------------------------------------------------------------------------
// Exact polynomials of degree at most one.

struct ExactPolynomial {
    bool has_constant = false;
    Rational constant;
    std::map<std::uint64_t, Rational> terms;  // fluent -> coefficient

    bool is_constant_only() const { return has_constant && terms.empty(); }
    void add(const ExactPolynomial& o, bool subtract) {
        if (o.has_constant) {
            constant = subtract ? constant - o.constant : constant + o.constant;
            has_constant = true;
        }
        for (const auto& [f, c] : o.terms) {
            auto [it, fresh] = terms.try_emplace(f);
            it->second = subtract ? it->second - c : it->second + c;
        }
    }
    // Vanished fluent terms go; the constant term stays, also when it is zero.
    void simplify() { std::erase_if(terms, [](const auto& t) { return t.second.is_zero(); }); }
    void scale(const Rational& k, bool divide) {
        if (has_constant) constant = divide ? constant / k : constant * k;
        for (auto& [f, c] : terms) c = divide ? c / k : c * k;
    }
};

struct LinearPolynomial {
    std::optional<double> constant;
    std::vector<std::pair<std::uint64_t, double>> terms;  // ascending fluent index
};

// Reads a post-order expression as a polynomial of degree at most one; nullopt when it
// is not linear. Coefficients stay exact until the single conversion at the end.
std::optional<LinearPolynomial> to_linear_polynomial(std::span<const ExpressionNode> expr) {
    std::vector<ExactPolynomial> stack;
    auto pop = [&stack]() {
        QV_REQUIRE(!stack.empty(), "linear polynomial: work stack too short for the next node");
        ExactPolynomial p = std::move(stack.back());
        stack.pop_back();
        return p;
    };
    for (const ExpressionNode& node : expr) {
        switch (node.kind()) {
            case NodeKind::Int:
            case NodeKind::Rational: {
                ExactPolynomial p;
                p.has_constant = true;
                p.constant = get_rational_from_expression_node(node);
                stack.push_back(std::move(p));
                break;
            }
            case NodeKind::Fluent: {
                ExactPolynomial p;
                p.terms.emplace(node.fluent_index(), Rational(1));
                stack.push_back(std::move(p));
                break;
            }
            case NodeKind::Plus: {
                const std::size_t k = node.operands().size();
                QV_REQUIRE(k >= 1, "linear polynomial: a sum without operands");
                ExactPolynomial sum = pop();
                for (std::size_t i = 1; i < k; ++i) sum.add(pop(), false);
                sum.simplify();
                stack.push_back(std::move(sum));
                break;
            }
            case NodeKind::Minus: {
                ExactPolynomial s = pop();
                ExactPolynomial m = pop();
                m.add(s, true);
                m.simplify();
                stack.push_back(std::move(m));
                break;
            }
            case NodeKind::Times: {
                const std::size_t k = node.operands().size();
                QV_REQUIRE(k >= 1, "linear polynomial: a product without operands");
                Rational product(1);
                std::optional<ExactPolynomial> variable;
                for (std::size_t i = 0; i < k; ++i) {
                    ExactPolynomial p = pop();
                    if (p.is_constant_only()) {
                        product *= p.constant;
                    } else {
                        if (variable) return std::nullopt;
                        variable = std::move(p);
                    }
                }
                if (!variable || product.is_zero()) {
                    ExactPolynomial c;
                    c.has_constant = true;
                    c.constant = std::move(product);
                    stack.push_back(std::move(c));
                } else {
                    variable->scale(product, false);
                    stack.push_back(std::move(*variable));
                }
                break;
            }
            case NodeKind::Div: {
                ExactPolynomial d = pop();
                QV_REQUIRE(!stack.empty(), "linear polynomial: work stack too short for the next node");
                if (!d.is_constant_only() || d.constant.is_zero()) return std::nullopt;
                stack.back().scale(d.constant, true);
                break;
            }
            default: return std::nullopt;
        }
    }
    QV_REQUIRE(!stack.empty(), "linear polynomial of an empty expression");
    const ExactPolynomial& top = stack.back();
    LinearPolynomial out;
    if (top.has_constant) out.constant = top.constant.to_double();
    out.terms.reserve(top.terms.size());
    for (const auto& [f, c] : top.terms) out.terms.emplace_back(f, c.to_double());
    return out;
}

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

using heuristics_detail::ValueMap;

struct CacheHolder {
    std::mutex mutex;
    std::optional<ValueMap> map;
    std::vector<std::uint64_t> progress_scratch;
};

// Per-fluent memo of state atoms, so that an evaluation interns a fact only once ever.
struct FluentAtoms {
    Expression if_true{}, if_false{};
    bool has_true = false, has_false = false;
    boost::unordered_flat_map<ExpressionNode, Expression, NodeHash> others;
};

// Working tables of one evaluation, kept between evaluations so that they are not
// reallocated every time. Indexed densely by handle or operator id; every entry that
// an evaluation sets is remembered in a touched list and reset by the next one, which
// also covers an evaluation that ended with an error half way.
struct Scratch {
    std::vector<double> cost;                // by handle
    std::vector<double> improvement;         // by handle
    std::vector<std::uint32_t> supporter;    // by handle (hff)
    std::vector<std::uint32_t> seen;         // by handle, generation stamps (hff extraction)
    std::vector<std::uint64_t> cost_touched;
    std::vector<std::uint64_t> frontier, next_frontier;
    std::vector<double> op_cost;             // by operator id
    std::vector<std::uint32_t> op_touched;
    std::vector<std::uint32_t> batch_stamp;  // by operator id
    std::vector<std::uint32_t> batch;
    std::vector<double> linear_value;        // by linear condition
    std::vector<std::uint32_t> linear_stamp;
    std::vector<boost::unordered_flat_set<std::uint32_t, U64Hash>> achievers;  // by linear condition
    std::vector<std::uint32_t> achievers_touched;
    std::vector<std::uint32_t> used_action;  // by action slot, generation stamps
    std::vector<double> cost_stack;
    std::vector<std::pair<double, std::size_t>> leaf_stack;
    std::vector<Expression> leaves, work;
    std::uint32_t generation = 0;
    std::uint32_t round = 0;

    std::uint32_t next_round() {
        if (++round == 0) {
            std::fill(batch_stamp.begin(), batch_stamp.end(), 0);
            round = 1;
        }
        return round;
    }

    std::uint32_t next_generation() {
        if (++generation == 0) {
            std::fill(linear_stamp.begin(), linear_stamp.end(), 0);
            std::fill(seen.begin(), seen.end(), 0);
            std::fill(used_action.begin(), used_action.end(), 0);
            generation = 1;
        }
        return generation;
    }
};

struct ManagerHolder {
    std::mutex mutex;
    ExpressionManager manager;
    std::vector<FluentAtoms> state_atoms;
    Scratch scratch;
};

}  // namespace

// ---------------------------------------------------------------------------

namespace {

// Everything the construction builds; copies share `cache` and `manager`.
struct RelaxedTask {
    std::vector<Action> actions;
    HeuristicExpression goal_condition;
    HeuristicExpression idle_condition;
    std::vector<Operator> operators;
    std::vector<std::vector<LoweredCondition>> lowered_conditions;
    ActionMap<std::uint64_t> event_counts;
    ActionMap<std::vector<Expression>> progress_atoms;
    // precondition_index as a compressed table: the operators of handle h are
    // index_ids[index_offsets[h] .. index_offsets[h + 1]); handles issued after
    // construction have no entry.
    std::vector<std::size_t> index_offsets;
    std::vector<std::uint32_t> index_ids;
    std::vector<std::uint32_t> empty_precondition_operators;
    std::vector<LinearCondition> linear_conditions;
    HandleMap<std::uint32_t> linear_positions;
    std::vector<Expression> other_numeric_conditions;
    // Distinct actions of the operators, so that per-action marks need no hashing.
    std::vector<std::uint32_t> operator_slot;
    std::vector<Action> slot_actions;
    std::vector<std::uint64_t> slot_operator_counts;
    std::shared_ptr<CacheHolder> cache;
    std::shared_ptr<ManagerHolder> manager;
    bool inadmissible_numeric_heuristic_variant = false;
    bool disable_numeric_reasoning = false;
    RelaxationKind kind = RelaxationKind::HFF;

    std::optional<double> compute(const State& state, std::vector<std::uint32_t>* reachable) const;
    double cost(const HeuristicExpression& c, Scratch& s) const;
    void hff_leaves(const HeuristicExpression& c, Scratch& s, std::vector<Expression>& out) const;
    double linear_value(std::uint32_t linear, const State& state, Scratch& s) const;
};

// ---------------------------------------------------------------------------
// Construction.

class Builder {
  public:
    Builder(RelaxedTask& h, const std::vector<std::string>& fluent_types,
            const ObjectsByType& objects)
        : h_(h), m_(h.manager->manager), fluent_types_(fluent_types), objects_(objects) {
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
        auto [it, fresh] = h_.linear_positions.try_emplace(h, static_cast<std::uint32_t>(h_.linear_conditions.size()));
        if (fresh)
            h_.linear_conditions.push_back(std::move(lc));
        else
            h_.linear_conditions[it->second] = std::move(lc);
        if (n.back().kind() == NodeKind::LT) strict_.insert(h);
    }

    void classify_effect(const Effect& effect, Operator& op, std::size_t n);
    void numeric_tables();
    void lowered_and_margin();

    RelaxedTask& h_;
    ExpressionManager& m_;
    const std::vector<std::string>& fluent_types_;
    const ObjectsByType& objects_;
    boost::unordered_flat_map<std::string, std::size_t> object_types_;
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

            const std::vector<FlatExpr> conditions = heuristics_detail::distinct_event_conditions(event, m_);
            FlatExpr nodes;
            std::size_t reserve = 2;
            for (const FlatExpr& c : conditions) reserve += c.size();
            nodes.reserve(reserve);
            std::vector<NodeIndex> roots;
            bool never = false;
            for (const FlatExpr& c : conditions) {
                if (c.size() == 1 && c[0].is_false()) {
                    never = true;
                    break;
                }
                if (c.empty() || (c.size() == 1 && c[0].is_true())) continue;
                FlatExpr moved = shift_expression(c, nodes.size(), ShiftDirection::Add);
                nodes.insert(nodes.end(), std::make_move_iterator(moved.begin()), std::make_move_iterator(moved.end()));
                roots.push_back(nodes.size() - 1);
            }
            if (!never) {
                const bool conjunction = !roots.empty();
                nodes.push_back(previous);
                roots.push_back(nodes.size() - 1);
                if (conjunction) nodes.push_back(ExpressionNode::list(NodeKind::And, std::move(roots)));
                op.precondition = simplify_condition(convert(nodes));
                QV_REQUIRE(h_.operators.size() < kNoOperator, "too many operators");
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

    ActionMap<std::uint32_t> slots;
    h_.operator_slot.reserve(h_.operators.size());
    for (const Operator& op : h_.operators) {
        auto [it, fresh] = slots.try_emplace(op.action, static_cast<std::uint32_t>(h_.slot_actions.size()));
        if (fresh) {
            h_.slot_actions.push_back(op.action);
            h_.slot_operator_counts.push_back(0);
        }
        h_.operator_slot.push_back(it->second);
        ++h_.slot_operator_counts[it->second];
    }
}

void Builder::numeric_tables() {
    const std::size_t handles = m_.size();
    std::vector<std::size_t> counts(handles + 1, 0);
    for (const Operator& op : h_.operators) {
        if (op.precondition.entries.empty()) {
            h_.empty_precondition_operators.push_back(op.id);
            continue;
        }
        for (const HNode& e : op.precondition.entries) {
            if (e.kind != HNode::Kind::Leaf) continue;
            file_numeric(e.handle());
            ++counts[e.value + 1];
        }
    }
    for (const HNode& e : h_.goal_condition.entries)
        if (e.kind == HNode::Kind::Leaf) file_numeric(e.handle());

    // Filing interns nothing, so every leaf handle is below `handles`.
    QV_REQUIRE(m_.size() == handles, "filing numeric conditions interned new expressions");
    for (std::size_t i = 0; i < handles; ++i) counts[i + 1] += counts[i];
    h_.index_offsets = counts;
    h_.index_ids.resize(counts[handles]);
    // Operators are visited in id order, so every list comes out ascending.
    for (const Operator& op : h_.operators)
        for (const HNode& e : op.precondition.entries)
            if (e.kind == HNode::Kind::Leaf) h_.index_ids[counts[e.value]++] = op.id;
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
        auto it = h_.linear_positions.find(h);
        if (it == h_.linear_positions.end()) continue;
        std::vector<double>& w = h_.linear_conditions[it->second].weights;
        if (!w.empty()) w.back() -= margin;
    }
}

// The change per application, recomputed the way construction decided the pair, so
// that a table that went out of step is caught rather than used.
double repetitions(const LoweredCondition& low, double value, bool inadmissible) {
    if (value <= 0) return 0.0;
    if (!inadmissible && low.assigned) return 1.0;
    QV_REQUIRE(low.change < 0, "a lowered condition whose change is not negative");
    return std::ceil(-value / low.change);
}

}  // namespace

// ---------------------------------------------------------------------------
// Evaluation.

struct DeleteRelaxationHeuristic::Impl : RelaxedTask {};

double RelaxedTask::cost(const HeuristicExpression& c, Scratch& s) const {
    QV_REQUIRE(!c.entries.empty(), "the cost of a condition without entries");
    if (c.entries.back().kind == HNode::Kind::Leaf) return s.cost[c.entries.back().value];
    auto& stack = s.cost_stack;
    stack.clear();
    const bool maximum = kind == RelaxationKind::HMAX;
    for (const HNode& e : c.entries) {
        switch (e.kind) {
            case HNode::Kind::Leaf: stack.push_back(s.cost[e.value]); break;
            case HNode::Kind::And: {
                QV_REQUIRE(e.value <= stack.size(), "a condition pops more entries than it pushed");
                double r = 0.0;
                bool absent = false;
                for (std::uint64_t i = 0; i < e.value; ++i) {
                    const double x = stack.back();
                    stack.pop_back();
                    if (!present(x)) absent = true;
                    else if (!absent) r = maximum ? std::max(r, x) : r + x;
                }
                stack.push_back(absent ? kAbsent : r);
                break;
            }
            case HNode::Kind::Or: {
                QV_REQUIRE(e.value <= stack.size(), "a condition pops more entries than it pushed");
                double r = kHighestFinite;
                for (std::uint64_t i = 0; i < e.value; ++i) {
                    const double x = stack.back();
                    stack.pop_back();
                    if (present(x)) r = std::min(r, x);
                }
                stack.push_back(r == kHighestFinite ? kAbsent : r);
                break;
            }
        }
    }
    QV_REQUIRE(stack.size() == 1, "a condition that leaves other than one value");
    return stack.back();
}

void RelaxedTask::hff_leaves(const HeuristicExpression& c, Scratch& s,
                                                 std::vector<Expression>& out) const {
    if (!c.has_disjunction) {
        for (const HNode& e : c.entries)
            if (e.kind == HNode::Kind::Leaf) out.push_back(e.handle());
        return;
    }
    // Each stack entry owns the handles from its start to the next entry's start in one
    // shared buffer; operands of one operator are neighbours, so joining is free.
    auto& stack = s.leaf_stack;
    stack.clear();
    const std::size_t base = out.size();
    for (const HNode& e : c.entries) {
        if (e.kind == HNode::Kind::Leaf) {
            stack.emplace_back(s.cost[e.value], out.size());
            out.push_back(e.handle());
            continue;
        }
        QV_REQUIRE(e.value <= stack.size(), "a condition pops more entries than it pushed");
        const std::size_t lowest = e.value == 0 ? out.size() : stack[stack.size() - e.value].second;
        auto end_of = [&](std::size_t i) { return i + 1 < stack.size() ? stack[i + 1].second : out.size(); };
        if (e.kind == HNode::Kind::And) {
            double sum = 0.0;
            bool absent = false;
            for (std::size_t i = stack.size(); i-- > stack.size() - e.value;) {
                if (!present(stack[i].first)) absent = true;
                else sum += stack[i].first;
            }
            stack.resize(stack.size() - e.value);
            if (absent) out.resize(lowest);
            stack.emplace_back(absent ? kAbsent : sum, lowest);
        } else {
            double kept_cost = kHighestFinite;
            std::size_t kept = stack.size();
            // From the top down: of equal costs the entry latest in the condition stays.
            for (std::size_t i = stack.size(); i-- > stack.size() - e.value;) {
                if (present(stack[i].first) && stack[i].first < kept_cost) {
                    kept_cost = stack[i].first;
                    kept = i;
                }
            }
            if (kept == stack.size()) {
                stack.resize(stack.size() - e.value);
                out.resize(lowest);
                stack.emplace_back(kAbsent, lowest);
            } else {
                const std::size_t from = stack[kept].second, to = end_of(kept);
                std::move(out.begin() + from, out.begin() + to, out.begin() + lowest);
                out.resize(lowest + (to - from));
                stack.resize(stack.size() - e.value);
                stack.emplace_back(kept_cost, lowest);
            }
        }
    }
    QV_REQUIRE(stack.size() == 1, "a condition that leaves other than one value");
    QV_REQUIRE(stack[0].second == base, "leaf buffer out of step");
}

double RelaxedTask::linear_value(std::uint32_t linear, const State& state, Scratch& s) const {
    if (s.linear_stamp[linear] == s.generation) return s.linear_value[linear];
    const LinearCondition& lc = linear_conditions[linear];
    QV_REQUIRE(!lc.weights.empty(), "a linear condition without weights");
    double value = lc.weights.back();
    for (std::size_t i = 0; i < lc.fluents.size(); ++i) {
        const ExpressionNode& x = state.fluent_value(lc.fluents[i]);
        double xv;
        if (x.kind() == NodeKind::Int) xv = x.as_int().to_double();
        else if (x.kind() == NodeKind::Rational) xv = x.as_rational().to_double();
        else xv = get_rational_from_expression_node(x).to_double();  // raises "Expected a number!"
        value = value + xv * lc.weights[i];
    }
    s.linear_stamp[linear] = s.generation;
    s.linear_value[linear] = value;
    return value;
}

std::optional<double> RelaxedTask::compute(const State& state,
                                                               std::vector<std::uint32_t>* reachable) const {
    std::lock_guard<std::mutex> lock(manager->mutex);
    ExpressionManager& m = manager->manager;
    Scratch& s = manager->scratch;

    // Undo whatever the previous evaluation left, an interrupted one included.
    for (std::uint64_t h : s.cost_touched) {
        s.cost[h] = kAbsent;
        s.supporter[h] = kNoOperator;
    }
    for (std::uint64_t h : s.next_frontier) {
        s.improvement[h] = kAbsent;
        s.supporter[h] = kNoOperator;
    }
    for (std::uint32_t id : s.op_touched) s.op_cost[id] = kAbsent;
    for (std::uint32_t l : s.achievers_touched) s.achievers[l].clear();
    s.cost_touched.clear();
    s.next_frontier.clear();
    s.frontier.clear();
    s.op_touched.clear();
    s.achievers_touched.clear();
    s.op_cost.resize(operators.size(), kAbsent);
    s.batch_stamp.resize(operators.size(), 0);
    s.linear_value.resize(linear_conditions.size(), 0.0);
    s.linear_stamp.resize(linear_conditions.size(), 0);
    s.achievers.resize(linear_conditions.size());
    s.used_action.resize(slot_actions.size(), 0);
    s.next_generation();

    // State atoms, interned at most once per distinct fact over the heuristic's life.
    std::vector<Expression>& zero = s.work;
    zero.clear();
    {
        auto& memo = manager->state_atoms;
        if (memo.size() < state.values.size()) memo.resize(state.values.size());
        std::uint64_t f = 0;
        for (const ExpressionNode& v : state.values) {
            FluentAtoms& a = memo[f];
            if (v.is_true()) {
                if (!a.has_true) a.if_true = intern_atom(m, f, v), a.has_true = true;
                zero.push_back(a.if_true);
            } else if (v.is_false()) {
                if (!a.has_false) a.if_false = intern_atom(m, f, v), a.has_false = true;
                zero.push_back(a.if_false);
            } else {
                auto it = a.others.find(v);
                if (it == a.others.end()) it = a.others.emplace(v, intern_atom(m, f, v)).first;
                zero.push_back(it->second);
            }
            ++f;
        }
    }
    const std::size_t handles = m.size();
    if (s.cost.size() < handles) {
        s.cost.resize(handles, kAbsent);
        s.improvement.resize(handles, kAbsent);
        s.supporter.resize(handles, kNoOperator);
        s.seen.resize(handles, 0);
    }
    auto set_cost = [&s](Expression h, double c) {
        if (!present(s.cost[h.index])) s.cost_touched.push_back(h.index);
        s.cost[h.index] = c;
    };
    for (Expression h : zero) set_cost(h, 0.0);

    for (const LinearCondition& lc : linear_conditions)
        if (internal_evaluate(m.get(lc.handle), state).is_true()) set_cost(lc.handle, 0.0);
    for (Expression h : other_numeric_conditions)
        set_cost(h, internal_evaluate(m.get(h), state).is_true() ? 0.0 : 1.0);

    for (const auto& [a, count] : event_counts) {
        auto atoms = progress_atoms.find(a);
        QV_REQUIRE(atoms != progress_atoms.end() && !atoms->second.empty(),
                   "an action with events but without progress atoms");
        const std::vector<Expression>& list = atoms->second;
        auto running = state.todo.find(a);
        if (running != state.todo.end()) {
            const std::uint64_t k = running->second.next_event;
            QV_REQUIRE(k >= 1 && k <= list.size(), "a running action's next event is out of range");
            set_cost(list[k - 1], 0.0);
        } else {
            set_cost(list.back(), 0.0);
        }
    }

    const bool hff = kind == RelaxationKind::HFF;
    const bool hmax = kind == RelaxationKind::HMAX;
    s.frontier.assign(s.cost_touched.begin(), s.cost_touched.end());
    auto offer = [&s, hff](std::uint64_t h, double v, std::uint32_t id) {
        if (std::isnan(v)) return;
        const double old = present(s.improvement[h]) ? s.improvement[h] : s.cost[h];
        if (!present(old) || old > v) {
            if (!present(s.improvement[h])) s.next_frontier.push_back(h);
            s.improvement[h] = v;
            if (hff) s.supporter[h] = id;
        } else if (hff && old == v) {
            s.supporter[h] = s.supporter[h] == kNoOperator ? id : std::max(s.supporter[h], id);
        }
    };

    while (!s.frontier.empty()) {
        const std::uint32_t stamp = s.next_round();
        s.batch.clear();
        auto enlist = [&s, stamp](std::uint32_t id) {
            if (s.batch_stamp[id] != stamp) {
                s.batch_stamp[id] = stamp;
                s.batch.push_back(id);
            }
        };
        for (std::uint32_t id : empty_precondition_operators) enlist(id);
        for (std::uint64_t h : s.frontier) {
            if (h + 1 >= index_offsets.size()) continue;
            for (std::size_t i = index_offsets[h]; i < index_offsets[h + 1]; ++i) enlist(index_ids[i]);
        }
        // Ascending ids: hmax offers for linear conditions then do not depend on the
        // order in which handles improved.
        std::sort(s.batch.begin(), s.batch.end());

        for (std::uint32_t id : s.batch) {
            QV_REQUIRE(id < operators.size(), "an operator id without an operator");
            const Operator& op = operators[id];
            const double c = cost(op.precondition, s);
            if (!present(c)) continue;
            if (present(s.op_cost[id]) && !(c < s.op_cost[id])) continue;
            if (!present(s.op_cost[id])) s.op_touched.push_back(id);
            s.op_cost[id] = c;
            for (Expression a : op.add_effects) offer(a.index, c + op.cost, id);
            for (const LoweredCondition& low : lowered_conditions[id]) {
                const LinearCondition& lc = linear_conditions[low.linear];
                if (s.cost[lc.handle.index] == 0.0) continue;
                QV_REQUIRE(!lc.fluents.empty(), "a lowered condition without fluents");
                const double r =
                    repetitions(low, linear_value(low.linear, state, s), inadmissible_numeric_heuristic_variant);
                double v;
                if (hmax) {
                    auto& achievers = s.achievers[low.linear];
                    if (achievers.empty()) s.achievers_touched.push_back(low.linear);
                    achievers.insert(id);
                    double cheapest = kAbsent;
                    for (std::uint32_t o : achievers) {
                        const double oc = o == id ? c : cost(operators[o].precondition, s);
                        QV_REQUIRE(present(oc), "an achiever without a precondition cost");
                        if (!present(cheapest) || oc < cheapest) cheapest = oc;
                    }
                    v = r * op.cost + cheapest;
                } else {
                    v = c + r * op.cost;
                }
                offer(lc.handle.index, v, id);
            }
        }

        s.frontier.clear();
        for (std::uint64_t h : s.next_frontier) {
            set_cost(Expression{h}, s.improvement[h]);
            s.improvement[h] = kAbsent;
            s.frontier.push_back(h);
        }
        s.next_frontier.clear();
    }

    if (reachable) {
        reachable->assign(s.op_touched.begin(), s.op_touched.end());
        std::sort(reachable->begin(), reachable->end());
        return std::nullopt;
    }

    const double g = cost(goal_condition, s);
    if (!present(g)) return std::nullopt;
    if (!hff) {
        const double i = cost(idle_condition, s);
        if (!present(i)) return std::nullopt;
        return hmax ? std::max(g, i) : g + i;
    }

    double remaining = 0.0;
    for (const auto& [a, entry] : state.todo) {
        auto count = event_counts.find(a);
        QV_REQUIRE(count != event_counts.end(), "a running action without events");
        remaining += static_cast<double>(count->second) - static_cast<double>(entry.next_event);
    }
    if (g != 0.0) {
        const std::uint32_t gen = s.generation;
        s.leaves.clear();
        hff_leaves(goal_condition, s, s.leaves);
        std::vector<Expression>& work = s.work;
        work.clear();
        for (Expression h : s.leaves)
            if (s.seen[h.index] != gen) {
                s.seen[h.index] = gen;
                work.push_back(h);
            }
        while (!work.empty()) {
            const Expression h = work.back();
            work.pop_back();
            const std::uint32_t sup = s.supporter[h.index];
            if (sup == kNoOperator) continue;
            QV_REQUIRE(sup < operators.size(), "a best supporter without an operator");
            const std::uint32_t slot = operator_slot[sup];
            if (s.used_action[slot] != gen) {
                s.used_action[slot] = gen;
                const Action a = slot_actions[slot];
                if (!state.todo.contains(a)) {
                    auto count = event_counts.find(a);
                    QV_REQUIRE(count != event_counts.end(), "an action of the relaxed plan without events");
                    remaining += static_cast<double>(count->second);
                }
            }
            s.leaves.clear();
            hff_leaves(operators[sup].precondition, s, s.leaves);
            for (Expression x : s.leaves)
                if (s.seen[x.index] != gen) {
                    s.seen[x.index] = gen;
                    work.push_back(x);
                }
        }
    }
    return remaining;
}

// ---------------------------------------------------------------------------

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(const std::vector<Action>& actions,
                                                     const std::vector<std::string>& fluent_types,
                                                     const ObjectsByType& objects, const ActionEvents& events,
                                                     const FlatExpr& goals, bool internal_caching,
                                                     bool inadmissible_numeric_heuristic_variant,
                                                     bool disable_numeric_reasoning, RelaxationKind kind)
    : impl_(std::make_unique<Impl>()) {
    Impl& h = *impl_;
    h.actions = actions;
    h.inadmissible_numeric_heuristic_variant = inadmissible_numeric_heuristic_variant;
    h.disable_numeric_reasoning = disable_numeric_reasoning;
    h.kind = kind;
    h.manager = std::make_shared<ManagerHolder>();
    Builder builder(h, fluent_types, objects);
    builder.build(actions, events, goals);
    h.cache = std::make_shared<CacheHolder>();
    if (internal_caching) h.cache->map.emplace();
}

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(const DeleteRelaxationHeuristic& o)
    : impl_(std::make_unique<Impl>(*o.impl_)) {}

DeleteRelaxationHeuristic::~DeleteRelaxationHeuristic() = default;

std::optional<double> DeleteRelaxationHeuristic::eval(const State& state) const {
    CacheHolder& cache = *impl_->cache;
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!cache.map) return impl_->compute(state, nullptr);
    return heuristics_detail::cached_value(*cache.map, impl_->actions, state, cache.progress_scratch,
                                           [&] { return impl_->compute(state, nullptr); });
}

std::vector<Action> DeleteRelaxationHeuristic::reachable_actions(const State& state) const {
    std::vector<std::uint32_t> ids;
    impl_->compute(state, &ids);
    std::vector<std::uint64_t> reached(impl_->slot_actions.size(), 0);
    for (std::uint32_t id : ids) ++reached[impl_->operator_slot[id]];
    std::vector<Action> out;
    for (std::size_t slot = 0; slot < reached.size(); ++slot)
        if (reached[slot] == impl_->slot_operator_counts[slot]) out.push_back(impl_->slot_actions[slot]);
    std::sort(out.begin(), out.end());
    return out;
}

const char* DeleteRelaxationHeuristic::name() const noexcept {
    const bool plain = !impl_->disable_numeric_reasoning;
    switch (impl_->kind) {
        case RelaxationKind::HFF: return plain ? "hff" : "hff_no_numbers";
        case RelaxationKind::HADD: return plain ? "hadd" : "hadd_no_numbers";
        case RelaxationKind::HMAX: return plain ? "hmax" : "hmax_no_numbers";
    }
    return "hff";
}

}  // namespace quorvane
