#include "engine/state/compiled_conditions.hpp"

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

    // l * factor in place: what add_scaled gives into an empty expression, without
    // looking up every term again.
    static bool scale(Linear& l, std::int64_t factor) {
        if (factor == 1) return true;
        if (!mul_checked(l.constant, factor, l.constant)) return false;
        for (auto& t : l.terms)
            if (!mul_checked(t.second, factor, t.second)) return false;
        return true;
    }

    // into + sign * part. The shorter list of terms is added into the longer one, so that
    // sums nested to any depth, on either side, cost what one flat sum of their terms
    // does, not a copy of ever longer lists per level. Only the order of the terms can
    // differ from adding `part` into `into`; the coefficients, and whether one leaves 64
    // bits, are the same.
    bool add_operand(Linear& into, Linear&& part, std::int64_t sign) {
        if (part.terms.size() <= into.terms.size()) return add_scaled(into, part, sign);
        if (!scale(part, sign)) return false;
        std::swap(into, part);
        return add_scaled(into, part, 1);
    }

    // An operator of a sum, difference or product whose operands are being read: what
    // they add up to so far, and the next operand to read.
    struct LinearFrame {
        std::uint64_t node = 0;
        NodeKind kind = NodeKind::Plus;
        std::size_t next = 0;
        Linear sum;
        bool has_terms = false;  // a product: one factor had fluent terms
    };
    enum class Step { kValue, kOpened, kFailed };

    // Visits node `i`: a constant or a fluent gives its value in `value`; a sum,
    // difference or product opens a frame on `open` for its operands.
    Step enter_linear(std::uint64_t i, std::vector<LinearFrame>& open, Linear& value) {
        const ExpressionNode* n = visit(i);
        if (!n) return Step::kFailed;
        value = Linear();
        switch (n->kind()) {
            case NodeKind::Int: {
                std::optional<std::int64_t> v = n->as_int().to_int64();
                if (!v) return Step::kFailed;
                value.constant = *v;
                return Step::kValue;
            }
            case NodeKind::Fluent: {
                const std::uint64_t f = n->fluent_index();
                if (layout.is_bit(f)) return Step::kFailed;  // a boolean is never a number
                value.terms.emplace_back(layout.index(f), 1);
                return Step::kValue;
            }
            case NodeKind::Plus:
            case NodeKind::Minus:
            case NodeKind::Times: {
                if (n->operands().empty()) return Step::kFailed;
                LinearFrame& f = open.emplace_back();
                f.node = i;
                f.kind = n->kind();
                if (f.kind == NodeKind::Times) f.sum.constant = 1;  // the product of no factor yet
                return Step::kOpened;
            }
            default: return Step::kFailed;
        }
    }

    // Adds the value of the frame's operand just read; false when the result is no
    // integer linear expression (a product of two fluents, or beyond 64 bits).
    bool fold_linear(LinearFrame& f, Linear&& part) {
        if (f.kind != NodeKind::Times) {
            const std::int64_t sign = f.kind == NodeKind::Minus && f.next == 2 ? -1 : 1;
            return add_operand(f.sum, std::move(part), sign);
        }
        if (part.terms.empty()) return scale(f.sum, part.constant);
        if (f.has_terms) return false;  // a product of two fluents
        // The factors so far were constants: their product scales this one.
        f.has_terms = true;
        if (!scale(part, f.sum.constant)) return false;
        f.sum = std::move(part);
        return true;
    }

    // Node `i` as an integer linear expression. Operands are read in order, each use of
    // a shared operand anew, with the open operators on an explicit stack: arithmetic
    // nested to any depth costs no call stack.
    std::optional<Linear> linear(std::uint64_t i) {
        std::vector<LinearFrame> open;
        Linear value;
        Step step = enter_linear(i, open, value);
        for (;;) {
            if (step == Step::kFailed) return std::nullopt;
            if (step == Step::kValue) {
                if (open.empty()) return value;
                if (!fold_linear(open.back(), std::move(value))) return std::nullopt;
            }
            LinearFrame& top = open.back();
            const auto ops = expr[top.node].operands();
            if (top.next < ops.size()) {
                step = enter_linear(ops[top.next++], open, value);
                continue;
            }
            value = std::move(top.sum);
            open.pop_back();
            step = Step::kValue;
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
    // Not(o) is true when o is false; being a boolean, it is false otherwise. So a chain
    // of negations, walked in a loop however deep it is, asks its innermost node whether
    // it is false, and negates that answer once for every negation asked whether it is
    // false; two negations of a literal cancel out.
    std::optional<Lit> literal(std::uint64_t i, std::vector<Linear>& linears, bool truth) {
        bool negate = false;
        for (;;) {
            const ExpressionNode* n = visit(i);
            if (!n) return std::nullopt;
            if (n->kind() != NodeKind::Not) {
                std::optional<Lit> inner = plain_literal(*n, linears, truth);
                if (!inner) return std::nullopt;
                return negated(std::move(*inner), negate);
            }
            if (!truth) negate = !negate;
            truth = false;
            i = n->operands()[0];
        }
    }

    // The literal of a node other than a negation, visited already.
    std::optional<Lit> plain_literal(const ExpressionNode& n, std::vector<Linear>& linears, bool truth) {
        switch (n.kind()) {
            case NodeKind::Bool: return constant(n.as_bool() == truth);
            case NodeKind::Int:
            case NodeKind::Rational:
            case NodeKind::Object: return constant(false);  // neither true nor false
            case NodeKind::Fluent: return bit_or_cell(n.fluent_index(), truth);
            case NodeKind::Equals: {
                std::optional<Lit> eq = equals(n);
                if (!eq) return std::nullopt;
                return negated(std::move(*eq), !truth);
            }
            case NodeKind::LE:
            case NodeKind::LT: {
                auto ops = n.operands();
                std::optional<Linear> left = linear(ops[0]);
                if (!left) return std::nullopt;
                std::optional<Linear> right = linear(ops[1]);
                if (!right || !add_operand(*left, std::move(*right), -1)) return std::nullopt;
                Literal l;
                l.kind = n.kind() == NodeKind::LE ? Literal::kLinearLE : Literal::kLinearLT;
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

    // The nodes still to be read by a walk, the next one last: operands go on in
    // reverse, so that they come off in order, as a recursive walk would read them.
    static void push_operands(std::vector<std::uint64_t>& todo, const ExpressionNode& n) {
        const auto ops = n.operands();
        for (auto it = ops.rbegin(); it != ops.rend(); ++it) todo.push_back(*it);
    }

    // Adds the clauses that node `i`, asked whether it is true, needs: a conjunction, to
    // any depth, adds those of its operands, walked with an explicit stack.
    bool conjunct(std::uint64_t i, CompiledCondition& out, bool& always_false) {
        std::vector<std::uint64_t> todo{i};
        while (!todo.empty()) {
            const std::uint64_t next = todo.back();
            todo.pop_back();
            if (next >= expr.size()) return false;
            if (expr[next].kind() != NodeKind::And) {
                if (!add_clause(next, out, always_false)) return false;
            } else if (const ExpressionNode* n = visit(next)) {
                push_operands(todo, *n);
            } else {
                return false;
            }
        }
        return true;
    }

    // The clause of node `i`, not a conjunction: a disjunction of literals, or one.
    bool add_clause(std::uint64_t i, CompiledCondition& out, bool& always_false) {
        std::vector<Literal> clause;
        bool holds = false;
        if (expr[i].kind() == NodeKind::Or) {
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

    // The literals of disjunction `i` into `clause`: those of nested disjunctions, to
    // any depth, join it, walked with an explicit stack.
    bool disjunct(std::uint64_t i, CompiledCondition& out, std::vector<Literal>& clause, bool& holds) {
        std::vector<std::uint64_t> todo{i};
        while (!todo.empty()) {
            const std::uint64_t next = todo.back();
            todo.pop_back();
            if (next >= expr.size()) return false;
            if (expr[next].kind() == NodeKind::Or) {
                const ExpressionNode* n = visit(next);
                if (!n) return false;
                push_operands(todo, *n);
                continue;
            }
            std::optional<Lit> lit = literal(next, out.linears_, true);
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
        // A cell asked to hold an inline value is a test of its whole word: a value that
        // fits inline is never boxed, so the cell holds it exactly when the words are equal.
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
            if (clause.size() == 1 && clause[0].kind == Literal::kCellIs && !clause[0].negate &&
                !clause[0].constant.get().is_boxed()) {
                out.words_.push_back(WordTest{clause[0].a, ~std::uint64_t{0}, clause[0].constant.get().word()});
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

CompiledCondition::RuledOut CompiledCondition::append_ruling_out_tests(std::vector<WordTest>& out) const {
    if (!ready() || !linears_.empty()) return RuledOut::kNever;
    if (constant_ == 0) return RuledOut::kAlways;
    if (constant_ < 0) out.insert(out.end(), words_.begin(), words_.end());
    return RuledOut::kByTests;
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
