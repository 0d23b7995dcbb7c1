// Interning of flat expressions.
#include <gtest/gtest.h>

#include "engine/expressions/expression_manager.hpp"
#include "engine/expressions/node.hpp"
#include "engine/support/errors.hpp"
#include "node_builders.hpp"

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;

// ---------------------------------------------------------------------------
// Interning
// ---------------------------------------------------------------------------

TEST(ExpressionManager, HandlesAreDenseAndShared) {
    ExpressionManager m;
    const FlatExpr cond{F(0), I(3), Op("<=", {0, 1})};
    EXPECT_EQ(m.put(cond).index, 0u);
    EXPECT_EQ(m.put(FlatExpr(cond)).index, 0u);
    EXPECT_EQ(m.size(), 1u);
    // Node kinds matter: an Int 2 is not the Rational 2/1.
    EXPECT_EQ(m.put(FlatExpr{I(2)}).index, 1u);
    EXPECT_EQ(m.put(FlatExpr{R(2, 1)}).index, 2u);
    // Equal rationals share one handle whatever the route to them.
    EXPECT_EQ(m.put(FlatExpr{R(4, 2)}).index, 2u);
    // The empty expression is an expression like any other.
    EXPECT_EQ(m.put(FlatExpr{}).index, 3u);
    EXPECT_EQ(m.put(FlatExpr{}).index, 3u);
    // The same formula laid out differently is another expression.
    EXPECT_EQ(m.put(FlatExpr{I(3), F(0), Op("<=", {1, 0})}).index, 4u);
    ASSERT_EQ(m.exprs().size(), 5u);
    EXPECT_EQ(debug_text(m.get(Expression{0})), debug_text(cond));
    EXPECT_EQ(debug_text(m.get(Expression{2})), "[Rational(Ratio { numer: 2, denom: 1 })]");

    ExpressionManager other;
    EXPECT_EQ(other.put(FlatExpr{B(true)}).index, 0u);
    EXPECT_EQ(other.put(cond).index, 1u);
    EXPECT_THROW(other.get(Expression{7}), InternalError);
}

}  // namespace
