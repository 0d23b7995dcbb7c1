// Expression nodes as values: equality and hashing, and exact rationals from nodes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/expressions/node.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"
#include "node_builders.hpp"

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;

std::uint64_t node_hash(const ExpressionNode& n) {
    support::FxHasher h;
    n.hash_into(h);
    return h.finish();
}

TEST(RationalFromNode, NumbersOnly) {
    EXPECT_EQ(get_rational_from_expression_node(I(-3)).to_string(), "-3/1");
    EXPECT_EQ(get_rational_from_expression_node(R(2, 4)).to_string(), "1/2");
    for (const ExpressionNode& n : {B(true), F(0), O("x"), Op("+", {0, 1}), Op("not", {0})}) {
        try {
            get_rational_from_expression_node(n);
            ADD_FAILURE() << n.debug();
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::ValueError);
            EXPECT_EQ(std::string(e.what()), "Expected a number!");
        }
    }
}

// ---------------------------------------------------------------------------
// Node equality and hashing
// ---------------------------------------------------------------------------

TEST(NodeEquality, Table) {
    struct Case {
        const char* name;
        ExpressionNode a, b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"int and whole rational differ", I(2), R(2, 1), false},
        {"true and one differ", B(true), I(1), false},
        {"rational by value", R(2, 4), R(1, 2), true},
        {"big ints", ExpressionNode::integer(Integer::from_decimal("123456789012345678901234567890")),
         ExpressionNode::integer(Integer::from_decimal("123456789012345678901234567890")), true},
        {"fluent and negation with the same index differ", F(3), Op("not", {3}), false},
        {"objects by exact text", O("a"), O("a"), true},
        {"objects of other text", O("a"), O("A"), false},
        {"list kinds differ", Op("and", {0, 1}), Op("or", {0, 1}), false},
        {"list by length", Op("+", {0, 1}), Op("+", {0, 1, 1}), false},
        {"binary kinds differ", Op("<=", {0, 1}), Op("<", {0, 1}), false},
        {"binary by both sides", Op("-", {0, 1}), Op("-", {0, 2}), false},
        {"same binary", Op("/", {2, 1}), Op("/", {2, 1}), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.name;
        if (c.equal) EXPECT_EQ(node_hash(c.a), node_hash(c.b)) << c.name;
    }
}

TEST(NodeHashing, SeparatesNeighbouringValues) {
    // Not a guarantee of the hash, but these pairs must not collide for maps keyed
    // by nodes to stay useful.
    EXPECT_NE(node_hash(F(3)), node_hash(Op("not", {3})));
    EXPECT_NE(node_hash(I(2)), node_hash(R(2, 1)));
    EXPECT_NE(expr_hash(FlatExpr{O("ab"), O("c")}), expr_hash(FlatExpr{O("a"), O("bc")}));
    EXPECT_NE(expr_hash(FlatExpr{}), expr_hash(FlatExpr{B(false)}));
}

}  // namespace
