#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/simplification.hpp"
#include "node_builders.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;
using namespace quorvane::test_expressions;

// ---------------------------------------------------------------------------
// Simplification
// ---------------------------------------------------------------------------

struct SimplifyCase {
    const char* name;
    FlatExpr expr;
    std::vector<std::pair<std::uint64_t, ExpressionNode>> assignments;
    FlatExpr expected;
};

TEST(Simplify, Table) {
    const std::vector<SimplifyCase> cases = {
        {"comparison decided", {F(0), I(3), Op("<=", {0, 1})}, {{0, I(2)}}, {B(true)}},
        {"nothing known", {F(0), I(3), Op("<=", {0, 1})}, {}, {F(0), I(3), Op("<=", {0, 1})}},
        {"and drops true", {F(0), B(true), Op("and", {0, 1})}, {}, {F(0)}},
        {"and decided by false", {F(0), B(false), Op("and", {0, 1})}, {}, {B(false)}},
        {"and of trues", {B(true), B(true), Op("and", {0, 1})}, {}, {B(true)}},
        {"empty and", {Op("and", {})}, {}, {B(true)}},
        {"empty or", {Op("or", {})}, {}, {B(false)}},
        {"or drops assigned false", {F(0), F(1), Op("or", {0, 1})}, {{1, B(false)}}, {F(0)}},
        {"or decided by true", {F(0), F(1), Op("or", {0, 1})}, {{1, B(true)}}, {B(true)}},
        {"or keeps several", {F(0), B(false), F(1), Op("or", {0, 1, 2})}, {}, {F(0), F(1), Op("or", {0, 1})}},
        {"and keeps a copied operator",
         {F(0), Op("not", {0}), B(true), Op("and", {1, 2})},
         {},
         {F(0), Op("not", {0})}},
        {"plus fold keeps the first numeric place",
         {I(2), F(0), I(3), Op("+", {0, 1, 2})},
         {},
         {I(5), F(0), Op("+", {0, 1})}},
        {"plus fold after the unknown", {F(0), I(2), I(3), Op("+", {0, 1, 2})}, {}, {F(0), I(5), Op("+", {0, 1})}},
        {"times all numeric", {I(2), I(3), Op("*", {0, 1})}, {}, {I(6)}},
        {"plus of unknowns unchanged", {F(0), F(1), Op("+", {0, 1})}, {}, {F(0), F(1), Op("+", {0, 1})}},
        {"empty plus unchanged", {Op("+", {})}, {}, {Op("+", {})}},
        {"div to rational", {I(1), I(2), Op("/", {0, 1})}, {}, {R(1, 2)}},
        {"div to int", {I(4), I(2), Op("/", {0, 1})}, {}, {I(2)}},
        {"div by unknown stays", {I(4), F(0), Op("/", {0, 1})}, {}, {I(4), F(0), Op("/", {0, 1})}},
        {"minus", {I(1), R(1, 2), Op("-", {0, 1})}, {}, {R(1, 2)}},
        {"lt decided", {I(2), R(2, 1), Op("<", {0, 1})}, {}, {B(false)}},
        {"rational 2/1 becomes int", {R(2, 1)}, {}, {I(2)}},
        {"equal fluents", {F(0), F(0), Op("==", {0, 1})}, {}, {B(true)}},
        {"numeric equality across kinds", {I(2), R(4, 2), Op("==", {0, 1})}, {}, {B(true)}},
        {"different objects stay",
         {O("a"), O("b"), Op("==", {0, 1})},
         {},
         {O("a"), O("b"), Op("==", {0, 1})}},
        {"different bools stay",
         {B(true), B(false), Op("==", {0, 1})},
         {},
         {B(true), B(false), Op("==", {0, 1})}},
        {"not of fluent stays", {F(0), Op("not", {0})}, {}, {F(0), Op("not", {0})}},
        {"not of false", {B(false), Op("not", {0})}, {}, {B(true)}},
        {"shared node emitted twice", {F(0), Op("+", {0, 0})}, {}, {F(0), F(0), Op("+", {0, 1})}},
        {"unreached nodes dropped", {O("a"), F(0), Op("not", {1})}, {}, {F(0), Op("not", {0})}},
        {"assigned value is not normalised", {F(0)}, {{0, R(2, 1)}}, {R(2, 1)}},
        {"fold normalises an assigned value", {F(1), F(0), Op("+", {0, 1})}, {{0, R(2, 1)}},
         {F(1), I(2), Op("+", {0, 1})}},
        {"assigned fluent is not chased", {F(0)}, {{0, F(1)}, {1, I(4)}}, {F(1)}},
        {"assigned operator node is not used", {F(0), Op("not", {0})}, {{0, Op("not", {7})}}, {F(0), Op("not", {0})}},
        {"assigned operator node is not used in a fold",
         {I(1), F(0), I(2), Op("+", {0, 1, 2})},
         {{0, Op("+", {0, 0})}},
         {I(3), F(0), Op("+", {0, 1})}},
        // The constant 2 at position 0 is shared by the sum and the product: folding the
        // sum must not change the product's operand.
        {"shared constant keeps its value for other operators",
         {I(2), F(0), I(3), Op("+", {0, 1, 2}), Op("*", {0, 1}), Op("==", {3, 4})},
         {},
         {I(5), F(0), Op("+", {0, 1}), I(2), F(0), Op("*", {3, 4}), Op("==", {2, 5})}},
        {"two sums over one shared constant",
         {I(2), F(0), Op("+", {0, 1, 0}), Op("+", {0, 1}), Op("-", {2, 3})},
         {},
         {I(4), F(0), Op("+", {0, 1}), I(2), F(0), Op("+", {3, 4}), Op("-", {2, 5})}},
    };
    for (const auto& c : cases) {
        FlatExpr got = simplify(c.expr, assign(c.assignments));
        EXPECT_EQ(text(got), text(c.expected)) << c.name;
    }
}

TEST(Simplify, Errors) {
    expect_error([] { simplify(FlatExpr{I(1), I(0), Op("/", {0, 1})}, {}); }, ErrorKind::ZeroDivisionError,
                 "division by zero");
    // A zero divisor that only an assignment reveals, in a node the root does not reach.
    expect_error([] { simplify(FlatExpr{I(1), F(0), Op("/", {0, 1}), B(true)}, assign({{0, R(0, 1)}})); },
                 ErrorKind::ZeroDivisionError, "division by zero");
    // Non-numeric operands are never an error here.
    EXPECT_EQ(text(simplify(FlatExpr{B(true), I(0), Op("/", {0, 1})}, {})), "[Bool(true), Int(0), Div(0, 1)]");

    EXPECT_THROW(simplify(FlatExpr{}, {}), InternalError);
    EXPECT_THROW(simplify(FlatExpr{I(1), Op("not", {1})}, {}), InternalError);
    EXPECT_THROW(simplify(FlatExpr{Op("and", {1}), B(true)}, {}), InternalError);
    EXPECT_THROW(simplify(FlatExpr{I(1), Op("+", {0, kMax})}, {}), InternalError);
}

TEST(Simplify, RefusesAnExponentiallyLargeResult) {
    // Each node names the one before it twice: the duplicated tree has 2^41 - 1 nodes.
    FlatExpr chain{F(0)};
    for (NodeIndex i = 1; i <= 40; ++i) chain.push_back(Op("+", {i - 1, i - 1}));
    expect_error([&] { simplify(chain, {}); }, ErrorKind::OverflowError,
                 "the simplified expression would have too many nodes");
    // Moderate sharing is still duplicated as usual.
    FlatExpr small(chain.begin(), chain.begin() + 5);
    FlatExpr got = simplify(small, {});
    EXPECT_EQ(got.size(), 31u);
    EXPECT_TRUE(operands_in_range(got));
}

// Each node of a simplified result but the root is an operand exactly once.
bool is_tree(std::span<const ExpressionNode> e) {
    std::vector<int> uses(e.size(), 0);
    for (const auto& n : e)
        for (NodeIndex op : n.operands()) ++uses[op];
    for (std::size_t i = 0; i + 1 < e.size(); ++i)
        if (uses[i] != 1) return false;
    return uses.back() == 0;
}

TEST(Simplify, RandomResultsAreWellFormedTrees) {
    ExprGen gen(20240611);
    for (int round = 0; round < 3000; ++round) {
        FlatExpr e = gen.untyped(static_cast<std::size_t>(gen.pick(1, 9)));
        FluentAssignments a = gen.wild_assignment();
        FlatExpr got;
        try {
            got = simplify(e, a);
        } catch (const Error& err) {
            ASSERT_EQ(err.kind(), ErrorKind::ZeroDivisionError) << text(e);
            continue;
        }
        ASSERT_FALSE(got.empty()) << text(e);
        ASSERT_TRUE(operands_in_range(got)) << text(e) << " -> " << text(got);
        ASSERT_TRUE(is_tree(got)) << text(e) << " -> " << text(got);
    }
}

TEST(Simplify, RandomResultsKeepTheValue) {
    ExprGen gen(7);
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        FlatExpr e = gen.typed(static_cast<std::size_t>(gen.pick(1, 10)));
        FluentAssignments full = gen.full_assignment();
        std::optional<ExpressionNode> expected;
        try {
            expected = internal_evaluate(e, full);
        } catch (const Error&) {
            continue;  // a zero divisor somewhere
        }
        FlatExpr s = simplify(e, gen.part_of(full));
        ASSERT_TRUE(operands_in_range(s));
        EXPECT_EQ(internal_evaluate(s, full), *expected) << text(e) << " -> " << text(s);
        // With every fluent known, no fluent is left to read.
        FlatExpr folded = simplify(e, full);
        EXPECT_EQ(internal_evaluate(folded, FluentAssignments{}), *expected) << text(e) << " -> " << text(folded);
        ++compared;
    }
    EXPECT_GT(compared, 1000);
}

}  // namespace
