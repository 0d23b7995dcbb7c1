#include "engine/compiled_expressions.hpp"

#include <optional>

#include <boost/container/small_vector.hpp>

namespace quorvane {

using compiled_detail::Linear;
using compiled_detail::Literal;
using compiled_detail::WordTest;

namespace {

bool add_checked(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
    return !__builtin_add_overflow(a, b, &out);
}
bool mul_checked(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
    return !__builtin_mul_overflow(a, b, &out);
}

// sum(coefficient * value) + constant over the state's cells; nullopt when a value is
// not an inline integer or the sum leaves 64 bits.
std::optional<std::int64_t> linear_value(const Linear& l, const std::uint64_t* words) noexcept {
    std::int64_t acc = l.constant;
    for (const auto& [word, coefficient] : l.terms) {
        const Cell c = Cell::from_word(words[word]);
        if (!c.is_small_int()) return std::nullopt;
        std::int64_t product;
        if (!mul_checked(c.small_int_value(), coefficient, product) || !add_checked(acc, product, acc))
            return std::nullopt;
    }
    return acc;
}

}  // namespace

// Reads an expression from its root into literals, marking the nodes it accounts for.
// Any form it does not know gives up: the caller keeps the evaluator.
struct ConditionBuilder {
    std::span<const ExpressionNode> expr;
    const StateLayout& layout;
    std::vector<bool> reached;
    std::size_t budget;  // node visits left: shared operands are read once per use
    bool failed = false;

    ConditionBuilder(std::span<const ExpressionNode> e, const StateLayout& l)
        : expr(e), layout(l), reached(e.size(), false), budget(4 * e.size() + 64) {}

    // The node at `i`, marked; null (and the build failed) when it is malformed or the
    // budget is spent.
    const ExpressionNode* visit(std::uint64_t i) {
        if (failed || i >= expr.size() || budget == 0) {
            failed = true;
            return nullptr;
        }
        --budget;
        const ExpressionNode& n = expr[i];
        for (NodeIndex op : n.operands())
            if (op >= i) {
                failed = true;
                return nullptr;
            }
        if (n.kind() == NodeKind::Fluent && n.fluent_index() >= layout.num_fluents()) {
            failed = true;
            return nullptr;
        }
        reached[i] = true;
        return &n;
    }

    // Every node the evaluator would evaluate that the prepared form does not account
    // for can neither fail nor matter: constants, and fluents the state has.
    bool complete() const {
        if (failed) return false;
        for (std::size_t i = 0; i < expr.size(); ++i) {
            if (reached[i]) continue;
            const ExpressionNode& n = expr[i];
            if (n.is_operator()) return false;
            if (n.kind() == NodeKind::Fluent && n.fluent_index() >= layout.num_fluents()) return false;
        }
        return true;
    }

    // --- integer linear expressions ---

    bool add_term(Linear& l, std::uint32_t word, std::int64_t coefficient) {
        for (auto& t : l.terms)
            if (t.first == word) return add_checked(t.second, coefficient, t.second);
        l.terms.emplace_back(word, coefficient);
        return true;
    }
    bool add_scaled(Linear& into, const Linear& from, std::int64_t factor) {
        std::int64_t c;
        if (!mul_checked(from.constant, factor, c) || !add_checked(into.constant, c, into.constant)) return false;
        for (const auto& [word, coefficient] : from.terms) {
            std::int64_t k;
            if (!mul_checked(coefficient, factor, k) || !add_term(into, word, k)) return false;
        }
        return true;
    }

    std::optional<Linear> linear(std::uint64_t i) {
        const ExpressionNode* n = visit(i);
        if (!n) return std::nullopt;
        Linear out;
        switch (n->kind()) {
            case NodeKind::Int: {
                std::optional<std::int64_t> v = n->as_int().to_int64();
                if (!v) return std::nullopt;
                out.constant = *v;
                return out;
            }
            case NodeKind::Fluent: {
                const std::uint64_t f = n->fluent_index();
                if (layout.is_bit(f)) return std::nullopt;  // a boolean is never a number
                out.terms.emplace_back(layout.index(f), 1);
                return out;
            }
            case NodeKind::Plus:
            case NodeKind::Minus: {
                auto ops = n->operands();
                if (ops.empty()) return std::nullopt;
                for (std::size_t k = 0; k < ops.size(); ++k) {
                    std::optional<Linear> part = linear(ops[k]);
                    const std::int64_t sign = n->kind() == NodeKind::Minus && k == 1 ? -1 : 1;
                    if (!part || !add_scaled(out, *part, sign)) return std::nullopt;
                }
                return out;
            }
            case NodeKind::Times: {
                auto ops = n->operands();
                if (ops.empty()) return std::nullopt;
                out.constant = 1;
                bool has_terms = false;
                for (NodeIndex op : ops) {
                    std::optional<Linear> part = linear(op);
                    if (!part) return std::nullopt;
                    if (part->terms.empty()) {
                        Linear scaled;
                        if (!add_scaled(scaled, out, part->constant)) return std::nullopt;
                        out = std::move(scaled);
                    } else if (!has_terms) {
                        has_terms = true;
                        Linear scaled;
                        if (!add_scaled(scaled, *part, out.constant)) return std::nullopt;
                        out = std::move(scaled);
                    } else {
                        return std::nullopt;  // a product of two fluents
                    }
                }
                return out;
            }
            default: return std::nullopt;
        }
    }

    // --- literals ---

    // A literal, or a constant truth value (nullopt literal with `value` set).
    struct Lit {
        std::optional<Literal> literal;
        bool value = false;
    };

    Lit constant(bool v) { return Lit{std::nullopt, v}; }

    Lit bit_or_cell(std::uint64_t f, bool expect) {
        Literal l;
        if (layout.is_bit(f)) {
            l.kind = Literal::kBit;
            l.a = layout.index(f);
            l.expect = expect;
        } else {
            l.kind = Literal::kCellIs;
            l.a = layout.index(f);
            l.constant = OwnedCell(ExpressionNode::boolean(expect));
        }
        return Lit{std::move(l)};
    }

    // Node `i` where its value is asked whether it is true (`truth`) or false.
    std::optional<Lit> literal(std::uint64_t i, std::vector<Linear>& linears, bool truth) {
        const ExpressionNode* n = visit(i);
        if (!n) return std::nullopt;
        switch (n->kind()) {
            case NodeKind::Bool: return constant(n->as_bool() == truth);
            case NodeKind::Int:
            case NodeKind::Rational:
            case NodeKind::Object: return constant(false);  // neither true nor false
            case NodeKind::Fluent: return bit_or_cell(n->fluent_index(), truth);
            case NodeKind::Not: {
                // Not(o) is true when o is false; being a boolean, it is false otherwise.
                std::optional<Lit> inner = literal(n->operands()[0], linears, false);
                if (!inner) return std::nullopt;
                return negated(std::move(*inner), !truth);
            }
            case NodeKind::Equals: {
                std::optional<Lit> eq = equals(*n);
                if (!eq) return std::nullopt;
                return negated(std::move(*eq), !truth);
            }
            case NodeKind::LE:
            case NodeKind::LT: {
                auto ops = n->operands();
                std::optional<Linear> left = linear(ops[0]);
                if (!left) return std::nullopt;
                std::optional<Linear> right = linear(ops[1]);
                if (!right || !add_scaled(*left, *right, -1)) return std::nullopt;
                Literal l;
                l.kind = n->kind() == NodeKind::LE ? Literal::kLinearLE : Literal::kLinearLT;
                l.a = static_cast<std::uint32_t>(linears.size());
                linears.push_back(std::move(*left));
                return negated(Lit{std::move(l)}, !truth);
            }
            default: return std::nullopt;
        }
    }

    static Lit negated(Lit lit, bool negate) {
        if (!negate) return lit;
        if (!lit.literal) return Lit{std::nullopt, !lit.value};
        if (lit.literal->kind == Literal::kBit) lit.literal->expect = !lit.literal->expect;
        else lit.literal->negate = !lit.literal->negate;
        return lit;
    }

    // The node equality of two operands that are fluents or constants.
    std::optional<Lit> equals(const ExpressionNode& n) {
        auto ops = n.operands();
        const ExpressionNode* a = visit(ops[0]);
        const ExpressionNode* b = visit(ops[1]);
        if (!a || !b) return std::nullopt;
        const bool fa = a->kind() == NodeKind::Fluent, fb = b->kind() == NodeKind::Fluent;
        if (!fa && !fb) {
            if (a->is_operator() || b->is_operator()) return std::nullopt;
            return constant(*a == *b);
        }
        if (fa && fb) {
            Literal l;
            l.kind = Literal::kFluents;
            l.a = static_cast<std::uint32_t>(a->fluent_index());
            l.b = static_cast<std::uint32_t>(b->fluent_index());
            return Lit{std::move(l)};
        }
        const ExpressionNode& fluent = fa ? *a : *b;
        const ExpressionNode& value = fa ? *b : *a;
        if (value.is_operator()) return std::nullopt;
        const std::uint64_t f = fluent.fluent_index();
        if (layout.is_bit(f)) {
            if (value.kind() != NodeKind::Bool) return constant(false);
            return bit_or_cell(f, value.as_bool());
        }
        Literal l;
        l.kind = Literal::kCellIs;
        l.a = layout.index(f);
        l.constant = OwnedCell(value);
        return Lit{std::move(l)};
    }

    // --- structure ---

    // Adds the clauses that node `i`, asked whether it is true, needs.
    bool conjunct(std::uint64_t i, CompiledCondition& out, bool& always_false) {
        if (i >= expr.size()) return false;
        const ExpressionNode& n = expr[i];
        if (n.kind() == NodeKind::And) {
            if (!visit(i)) return false;
            for (NodeIndex op : n.operands())
                if (!conjunct(op, out, always_false)) return false;
            return true;
        }
        std::vector<Literal> clause;
        bool holds = false;
        if (n.kind() == NodeKind::Or) {
            if (!disjunct(i, out, clause, holds)) return false;
        } else {
            std::optional<Lit> lit = literal(i, out.linears_, true);
            if (!lit) return false;
            if (lit->literal) clause.push_back(std::move(*lit->literal));
            else holds = lit->value;
        }
        if (holds) return true;
        if (clause.empty()) always_false = true;
        else out.clauses_.push_back(std::move(clause));
        return true;
    }

    bool disjunct(std::uint64_t i, CompiledCondition& out, std::vector<Literal>& clause, bool& holds) {
        const ExpressionNode* n = visit(i);
        if (!n) return false;
        for (NodeIndex op : n->operands()) {
            if (op >= expr.size()) return false;
            if (expr[op].kind() == NodeKind::Or) {
                if (!disjunct(op, out, clause, holds)) return false;
                continue;
            }
            std::optional<Lit> lit = literal(op, out.linears_, true);
            if (!lit) return false;
            if (lit->literal) clause.push_back(std::move(*lit->literal));
            else holds = holds || lit->value;
        }
        return true;
    }
};

CompiledCondition CompiledCondition::compile(std::span<const ExpressionNode> expr, const LayoutPtr& layout) {
    CompiledCondition out;
    if (!layout || expr.empty()) return out;
    const ExpressionNode& root = expr.back();
    // The root's value must be a boolean whatever the state.
    const bool boolean_root = root.kind() == NodeKind::Bool || root.kind() == NodeKind::And ||
                              root.kind() == NodeKind::Or || root.kind() == NodeKind::Not ||
                              root.kind() == NodeKind::Equals || root.kind() == NodeKind::LE ||
                              root.kind() == NodeKind::LT ||
                              (root.kind() == NodeKind::Fluent && root.fluent_index() < layout->num_fluents() &&
                               layout->is_bit(root.fluent_index()));
    if (!boolean_root) return out;
    ConditionBuilder builder(expr, *layout);
    bool always_false = false;
    if (!builder.conjunct(expr.size() - 1, out, always_false) || !builder.complete()) return CompiledCondition();

    if (always_false) {
        out.clauses_.clear();
        out.constant_ = 0;
    } else {
        // Unit clauses over bits become word tests; a bit asked both ways stays a clause.
        std::vector<std::vector<Literal>> rest;
        for (auto& clause : out.clauses_) {
            if (clause.size() == 1 && clause[0].kind == Literal::kBit) {
                const Literal& l = clause[0];
                const std::uint32_t word = l.a >> 6;
                const std::uint64_t mask = std::uint64_t{1} << (l.a & 63);
                const std::uint64_t expect = l.expect ? mask : 0;
                bool merged = false;
                for (WordTest& t : out.words_)
                    if (t.word == word && !(t.mask & mask)) {
                        t.mask |= mask;
                        t.expect |= expect;
                        merged = true;
                        break;
                    }
                if (!merged) out.words_.push_back(WordTest{word, mask, expect});
                continue;
            }
            rest.push_back(std::move(clause));
        }
        out.clauses_ = std::move(rest);
        if (out.words_.empty() && out.clauses_.empty()) out.constant_ = 1;
    }
    out.layout_ = layout;
    return out;
}

bool CompiledCondition::literal(const Literal& l, const State& state,
                                std::span<const std::int8_t> signs) const noexcept {
    const std::uint64_t* w = state.values.words();
    bool v = false;
    switch (l.kind) {
        case Literal::kBit: return (((w[l.a >> 6] >> (l.a & 63)) & 1) != 0) == l.expect;
        case Literal::kCellIs: v = same_value(Cell::from_word(w[l.a]), l.constant.get()); break;
        case Literal::kFluents: v = same_value(state.values.cell(l.a), state.values.cell(l.b)); break;
        case Literal::kLinearLE: v = signs[l.a] != 0; break;
        case Literal::kLinearLT: v = signs[l.a] == 2; break;
    }
    return v != l.negate;
}

CompiledCondition::Result CompiledCondition::eval_clauses(const State& state,
                                                          std::span<const std::int8_t> signs) const noexcept {
    for (const auto& clause : clauses_) {
        bool any = false;
        for (const Literal& l : clause)
            if (literal(l, state, signs)) {
                any = true;
                break;
            }
        if (!any) return kFalse;
    }
    return kTrue;
}

CompiledCondition::Result CompiledCondition::eval_with_linears(const State& state) const {
    // Every comparison is computed first: one the evaluator would fail on must give
    // "unknown" even where another part already decides the value.
    const std::uint64_t* w = state.values.words();
    boost::container::small_vector<std::int8_t, 8> signs(linears_.size());
    for (std::size_t k = 0; k < linears_.size(); ++k) {
        std::optional<std::int64_t> v = linear_value(linears_[k], w);
        if (!v) return kUnknown;
        signs[k] = *v < 0 ? 2 : (*v == 0 ? 1 : 0);  // <= 0 on 1 or 2, < 0 on 2
    }
    return decide(state, signs);
}

CompiledValue CompiledValue::compile(std::span<const ExpressionNode> expr, const LayoutPtr& layout) {
    CompiledValue out;
    if (!layout || expr.empty()) return out;
    const ExpressionNode& root = expr.back();
    ConditionBuilder builder(expr, *layout);
    switch (root.kind()) {
        case NodeKind::Bool:
        case NodeKind::Int:
        case NodeKind::Rational:
        case NodeKind::Object:
            builder.visit(expr.size() - 1);
            if (!builder.complete()) return out;
            out.kind_ = kConstant;
            out.constant_ = OwnedCell(root);
            break;
        case NodeKind::Fluent:
            if (!builder.visit(expr.size() - 1) || !builder.complete()) return out;
            out.kind_ = kCopy;
            out.fluent_ = root.fluent_index();
            break;
        case NodeKind::Plus:
        case NodeKind::Minus:
        case NodeKind::Times: {
            std::optional<Linear> l = builder.linear(expr.size() - 1);
            if (!l || !builder.complete()) return out;
            out.kind_ = kLinear;
            out.linear_ = std::move(*l);
            break;
        }
        default:
            out.condition_ = CompiledCondition::compile(expr, layout);
            if (!out.condition_.ready()) return out;
            out.kind_ = kCondition;
            break;
    }
    out.layout_ = layout;
    return out;
}

bool CompiledValue::eval(const State& parent, Cell& out) const {
    if (&parent.values.layout() != layout_.get()) return false;
    switch (kind_) {
        case kConstant: out = constant_.get(); return true;
        case kCopy: out = parent.values.cell(fluent_); return true;
        case kLinear: {
            std::optional<std::int64_t> v = linear_value(linear_, parent.values.words());
            if (!v || !Cell::int_fits(*v)) return false;
            out = Cell::small_int(*v);
            return true;
        }
        case kCondition: {
            const CompiledCondition::Result r = condition_.eval(parent);
            if (r == CompiledCondition::kUnknown) return false;
            out = Cell::boolean(r == CompiledCondition::kTrue);
            return true;
        }
    }
    return false;
}

}  // namespace quorvane
