// Exact polynomials of degree at most one, read from post-order expressions.
#include "engine/heuristics/linear_polynomial.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/support/number.hpp"

namespace quorvane::heuristics_detail {

namespace {

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
    void scale(const Rational& k, bool divide) {
        if (has_constant) constant = divide ? constant / k : constant * k;
        for (auto& [f, c] : terms) c = divide ? c / k : c * k;
    }
    // This plus o (minus o with `subtract`), with the terms that vanish gone. The shorter
    // of the two is added into the longer, so that sums nested to any depth cost what one
    // flat sum of their terms does, not a copy of ever longer maps per level; the
    // arithmetic is exact, so the result is the same either way round. Only the shorter
    // one's fluents can vanish: no polynomial on the work stack keeps a zero term.
    void combine(ExactPolynomial o, bool subtract) {
        if (o.terms.size() > terms.size()) {
            if (subtract) o.scale(Rational(-1), false);  // this - o is (-o) + this
            std::swap(*this, o);
            subtract = false;
        }
        add(o, subtract);
        for (const auto& t : o.terms)
            if (auto it = terms.find(t.first); it->second.is_zero()) terms.erase(it);
    }
};

ExactPolynomial pop_polynomial(std::vector<ExactPolynomial>& stack) {
    QV_REQUIRE(!stack.empty(), "linear polynomial: work stack too short for the next node");
    ExactPolynomial p = std::move(stack.back());
    stack.pop_back();
    return p;
}

// Replaces the top `k` polynomials with their product; false when it is not linear
// (more than one factor is not a constant).
bool push_product(std::vector<ExactPolynomial>& stack, std::size_t k) {
    Rational product(1);
    std::optional<ExactPolynomial> variable;
    for (std::size_t i = 0; i < k; ++i) {
        ExactPolynomial p = pop_polynomial(stack);
        if (p.is_constant_only()) {
            product *= p.constant;
        } else {
            if (variable) return false;
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
    return true;
}

LinearPolynomial to_doubles(const ExactPolynomial& exact) {
    LinearPolynomial out;
    if (exact.has_constant) out.constant = exact.constant.to_double();
    out.terms.reserve(exact.terms.size());
    for (const auto& [f, c] : exact.terms) out.terms.emplace_back(f, c.to_double());
    return out;
}

}  // namespace

// Reads a post-order expression as a polynomial of degree at most one; nullopt when it
// is not linear. Coefficients stay exact until the single conversion at the end.
std::optional<LinearPolynomial> to_linear_polynomial(std::span<const ExpressionNode> expr) {
    std::vector<ExactPolynomial> stack;
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
                ExactPolynomial sum = pop_polynomial(stack);
                for (std::size_t i = 1; i < k; ++i) sum.combine(pop_polynomial(stack), false);
                stack.push_back(std::move(sum));
                break;
            }
            case NodeKind::Minus: {
                ExactPolynomial s = pop_polynomial(stack);
                ExactPolynomial m = pop_polynomial(stack);
                m.combine(std::move(s), true);
                stack.push_back(std::move(m));
                break;
            }
            case NodeKind::Times: {
                const std::size_t k = node.operands().size();
                QV_REQUIRE(k >= 1, "linear polynomial: a product without operands");
                if (!push_product(stack, k)) return std::nullopt;
                break;
            }
            case NodeKind::Div: {
                ExactPolynomial d = pop_polynomial(stack);
                QV_REQUIRE(!stack.empty(), "linear polynomial: work stack too short for the next node");
                if (!d.is_constant_only() || d.constant.is_zero()) return std::nullopt;
                stack.back().scale(d.constant, true);
                break;
            }
            default: return std::nullopt;
        }
    }
    QV_REQUIRE(!stack.empty(), "linear polynomial of an empty expression");
    return to_doubles(stack.back());
}

}  // namespace quorvane::heuristics_detail
