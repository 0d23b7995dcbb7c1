// Expression nodes and flat expressions.
//
// A flat expression is a post-order list of nodes; operator nodes name their
// operands by the positions of earlier nodes and the root is the last node.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/number.hpp"

namespace quorvane {

using NodeIndex = std::uint64_t;

// The order is the tag that hashing includes.
enum class NodeKind : std::uint8_t {
    Bool,
    Int,
    Rational,
    Fluent,
    Object,
    And,
    Or,
    Not,
    Equals,
    LE,
    LT,
    Plus,
    Minus,
    Times,
    Div,
};

const char* node_kind_name(NodeKind kind) noexcept;
// The operator text that `make_operator` maps to `kind` (operators only).
const char* operator_text(NodeKind kind) noexcept;

inline bool is_list_operator(NodeKind k) noexcept {
    return k == NodeKind::And || k == NodeKind::Or || k == NodeKind::Plus || k == NodeKind::Times;
}
inline bool is_binary_operator(NodeKind k) noexcept {
    return k == NodeKind::Equals || k == NodeKind::LE || k == NodeKind::LT || k == NodeKind::Minus ||
           k == NodeKind::Div;
}
inline bool is_operator(NodeKind k) noexcept { return k >= NodeKind::And; }

class ExpressionNode {
  public:
    // Constructors for each variant.
    static ExpressionNode boolean(bool v) { return ExpressionNode(NodeKind::Bool, Payload(std::in_place_index<0>, v)); }
    static ExpressionNode integer(Integer v) {
        return ExpressionNode(NodeKind::Int, Payload(std::in_place_index<1>, std::move(v)));
    }
    static ExpressionNode rational(Rational v) {
        return ExpressionNode(NodeKind::Rational, Payload(std::in_place_index<2>, std::move(v)));
    }
    // An arithmetic result: an Int when the denominator is 1, else a Rational.
    static ExpressionNode number(Rational v) {
        if (v.is_integer()) return integer(v.numer());
        return rational(std::move(v));
    }
    static ExpressionNode fluent(std::uint64_t index) {
        return ExpressionNode(NodeKind::Fluent, Payload(std::in_place_index<3>, index));
    }
    static ExpressionNode object(std::string name) {
        return ExpressionNode(NodeKind::Object, Payload(std::in_place_index<4>, std::move(name)));
    }
    static ExpressionNode list(NodeKind kind, std::vector<NodeIndex> operands) {
        QV_REQUIRE(is_list_operator(kind), "list payload for a non-list operator");
        return ExpressionNode(kind, Payload(std::in_place_index<5>, std::move(operands)));
    }
    static ExpressionNode negation(NodeIndex operand) {
        return ExpressionNode(NodeKind::Not, Payload(std::in_place_index<3>, operand));
    }
    static ExpressionNode binary(NodeKind kind, NodeIndex left, NodeIndex right) {
        QV_REQUIRE(is_binary_operator(kind), "two-operand payload for another operator");
        return ExpressionNode(kind, Payload(std::in_place_index<6>, std::array<NodeIndex, 2>{left, right}));
    }
    // Rebuilds an operator of `kind` from an operand list with the arity the kind needs.
    static ExpressionNode with_operands(NodeKind kind, std::span<const NodeIndex> operands);

    NodeKind kind() const noexcept { return kind_; }
    bool is_operator() const noexcept { return quorvane::is_operator(kind_); }
    bool is_number() const noexcept { return kind_ == NodeKind::Int || kind_ == NodeKind::Rational; }

    bool as_bool() const { return std::get<0>(payload_); }
    const Integer& as_int() const { return std::get<1>(payload_); }
    const Rational& as_rational() const { return std::get<2>(payload_); }
    std::uint64_t fluent_index() const {
        QV_REQUIRE(kind_ == NodeKind::Fluent, "not a fluent node");
        return std::get<3>(payload_);
    }
    const std::string& object_name() const { return std::get<4>(payload_); }
    // The operand positions of an operator node, in order (empty for other nodes).
    std::span<const NodeIndex> operands() const noexcept;

    bool is_true() const noexcept { return kind_ == NodeKind::Bool && std::get<0>(payload_); }
    bool is_false() const noexcept { return kind_ == NodeKind::Bool && !std::get<0>(payload_); }

    friend bool operator==(const ExpressionNode& a, const ExpressionNode& b) noexcept;
    void hash_into(support::FxHasher& h) const noexcept;
    std::string debug() const;
    void debug_into(std::string& out) const;

  private:
    // Index 3 holds a fluent index or the operand of Not.
    using Payload = std::variant<bool, Integer, Rational, std::uint64_t, std::string, std::vector<NodeIndex>,
                                 std::array<NodeIndex, 2>>;
    ExpressionNode(NodeKind kind, Payload payload) : kind_(kind), payload_(std::move(payload)) {}

    NodeKind kind_;
    Payload payload_;
};

using FlatExpr = std::vector<ExpressionNode>;

void hash_expr(support::FxHasher& h, std::span<const ExpressionNode> expr) noexcept;
std::uint64_t expr_hash(std::span<const ExpressionNode> expr) noexcept;
std::string debug_text(std::span<const ExpressionNode> expr);
void debug_text_into(std::string& out, std::span<const ExpressionNode> expr);

struct FlatExprHash {
    using is_transparent = void;
    std::size_t operator()(std::span<const ExpressionNode> e) const noexcept { return expr_hash(e); }
    std::size_t operator()(const FlatExpr& e) const noexcept { return expr_hash(e); }
};
struct FlatExprEq {
    using is_transparent = void;
    bool operator()(std::span<const ExpressionNode> a, std::span<const ExpressionNode> b) const noexcept {
        return std::equal(a.begin(), a.end(), b.begin(), b.end());
    }
};

// Builds an operator node from its text kind ("+", "and", "<=", ...).
// Unknown kinds fail with ValueError "Unknown operator: <kind>".
ExpressionNode make_operator(std::string_view kind, std::vector<NodeIndex> operands);

// Int n gives n/1, Rational a copy; anything else fails with ValueError "Expected a number!".
Rational get_rational_from_expression_node(const ExpressionNode& node);

// Debug text of a string as a quoted literal with escapes.
void quote_string_into(std::string& out, std::string_view s);
void rational_debug_into(std::string& out, const Rational& r);

}  // namespace quorvane
