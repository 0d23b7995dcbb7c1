#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/splitting.hpp"
#include "node_builders.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;
using namespace quorvane::test_expressions;

// ---------------------------------------------------------------------------
// Splitting
// ---------------------------------------------------------------------------

struct SplitCase {
    const char* name;
    FlatExpr expr;
    std::vector<FlatExpr> expected;
};

TEST(Split, Table) {
    const std::vector<SplitCase> cases = {
        {"two fluents", {F(0), F(1), Op("and", {0, 1})}, {{F(0)}, {F(1)}}},
        {"renumbered from zero",
         {I(1), I(2), Op("<=", {0, 1}), F(3), Op("not", {3}), Op("and", {2, 4})},
         {{I(1), I(2), Op("<=", {0, 1})}, {F(3), Op("not", {0})}}},
        {"one conjunct", {F(0), I(1), Op("<=", {0, 1}), Op("and", {2})}, {{F(0), I(1), Op("<=", {0, 1})}}},
        {"repeated conjunct gives an empty part", {F(0), F(1), Op("and", {0, 0, 1})}, {{F(0)}, {}, {F(1)}}},
        {"root or is one part", {F(0), F(1), Op("or", {0, 1})}, {{F(0), F(1), Op("or", {0, 1})}}},
        {"negated conjunction is one part",
         {F(0), F(1), Op("and", {0, 1}), Op("not", {2})},
         {{F(0), F(1), Op("and", {0, 1}), Op("not", {2})}}},
        {"empty expression", {}, {{}}},
        {"empty conjunction", {Op("and", {})}, {}},
        {"inner conjunction stays whole",
         {F(0), F(1), Op("and", {0, 1}), F(2), Op("and", {2, 3})},
         {{F(0), F(1), Op("and", {0, 1})}, {F(2)}}},
        {"nodes after the last conjunct belong to no part", {F(0), F(1), I(9), Op("and", {0, 1})}, {{F(0)}, {F(1)}}},
        {"unreached nodes of a range are kept",
         {F(0), O("x"), F(1), Op("and", {0, 2})},
         {{F(0)}, {O("x"), F(1)}}},
        // Position 0 is used by both conjuncts: the second part carries a copy of it.
        {"shared node is copied",
         {F(0), I(1), Op("<=", {0, 1}), I(5), Op("<", {0, 3}), Op("and", {2, 4})},
         {{F(0), I(1), Op("<=", {0, 1})}, {F(0), I(5), Op("<", {0, 1})}}},
        {"shared node with its own operands",
         {F(0), I(1), Op("+", {0, 1}), I(2), Op("<=", {2, 3}), Op("and", {2, 4})},
         {{F(0), I(1), Op("+", {0, 1})}, {F(0), I(1), Op("+", {0, 1}), I(2), Op("<=", {2, 3})}}},
        {"only the shared nodes are copied",
         {F(7), F(0), F(1), Op("and", {0, 1}), Op("not", {2}), Op("or", {1, 4}), Op("and", {3, 5})},
         {{F(7), F(0), F(1), Op("and", {0, 1})}, {F(0), F(1), Op("not", {1}), Op("or", {0, 2})}}},
    };
    for (const auto& c : cases) {
        std::vector<FlatExpr> got = split_expression(c.expr);
        EXPECT_EQ(text(got), text(c.expected)) << c.name;
    }
}

TEST(Split, MalformedConjunctionIsInternalError) {
    const std::vector<std::pair<const char*, FlatExpr>> cases = {
        {"conjuncts out of order", {F(0), F(1), Op("and", {1, 0})}},
        {"conjunct beyond the expression", {F(0), Op("and", {0, 5})}},
        {"conjunct names the root", {F(0), Op("and", {0, 1})}},
        {"node of a part names a later node", {Op("not", {1}), F(0), Op("and", {1})}},
    };
    for (const auto& [name, expr] : cases) {
        EXPECT_THROW(split_expression(expr), InternalError) << name;
    }
}

TEST(Split, RandomPartsEvaluateLikeTheirConjuncts) {
    ExprGen gen(99);
    for (int round = 0; round < 2000; ++round) {
        FlatExpr e = gen.typed(static_cast<std::size_t>(gen.pick(1, 12)));
        // A conjunction over increasing positions of any nodes, repeats allowed.
        std::vector<NodeIndex> conjuncts;
        for (NodeIndex i = 0; i < e.size(); ++i)
            if (gen.pick(0, 2) == 0) conjuncts.push_back(i);
        e.push_back(ExpressionNode::list(NodeKind::And, conjuncts));
        std::vector<FlatExpr> parts = split_expression(e);
        ASSERT_EQ(parts.size(), conjuncts.size());
        FluentAssignments full = gen.full_assignment();
        for (std::size_t j = 0; j < parts.size(); ++j) {
            ASSERT_TRUE(operands_in_range(parts[j])) << text(e);
            if (j > 0 && conjuncts[j] == conjuncts[j - 1]) {
                EXPECT_TRUE(parts[j].empty());
                continue;
            }
            // The prefix up to a conjunct's root evaluates to that conjunct's value.
            std::span<const ExpressionNode> prefix(e.data(), conjuncts[j] + 1);
            std::optional<ExpressionNode> expected;
            try {
                expected = internal_evaluate(prefix, full);
            } catch (const Error&) {
                continue;
            }
            EXPECT_EQ(internal_evaluate(parts[j], full), *expected) << text(e) << " part " << j;
        }
    }
}

// ---------------------------------------------------------------------------
// Shifting
// ---------------------------------------------------------------------------

struct ShiftCase {
    const char* name;
    FlatExpr expr;
    std::uint64_t offset;
    ShiftDirection dir;
    std::optional<FlatExpr> expected;  // nullopt: Overflow
};

TEST(Shift, Table) {
    const auto add = ShiftDirection::Add;
    const auto sub = ShiftDirection::Subtract;
    const FlatExpr leaves{B(true), I(-4), R(1, 3), F(7), O("o")};
    const std::vector<ShiftCase> cases = {
        {"not up by five", {B(true), Op("not", {0})}, 5, add, FlatExpr{B(true), Op("not", {5})}},
        {"leaves and fluent indices unchanged", leaves, 100, add, leaves},
        {"lists in order", {Op("and", {0, 2, 1}), Op("+", {})}, 3, add, FlatExpr{Op("and", {3, 5, 4}), Op("+", {})}},
        {"binaries", {Op("-", {4, 2}), Op("/", {2, 4})}, 2, sub, FlatExpr{Op("-", {2, 0}), Op("/", {0, 2})}},
        {"up to the largest index", {Op("not", {0})}, kMax, add, FlatExpr{Op("not", {kMax})}},
        {"past the largest index", {Op("not", {1})}, kMax, add, std::nullopt},
        {"list past the largest index", {Op("*", {0, kMax})}, 1, add, std::nullopt},
        {"second operand below zero", {Op("==", {4, 2})}, 3, sub, std::nullopt},
        {"first operand below zero", {Op("<", {2, 4})}, 3, sub, std::nullopt},
        {"a later node fails", {Op("not", {9}), Op("or", {5, 1})}, 3, sub, std::nullopt},
        {"down to zero", {Op("not", {3})}, 3, sub, FlatExpr{Op("not", {0})}},
        {"empty expression", {}, 4, add, FlatExpr{}},
        {"zero offset", {Op("<=", {kMax, 0})}, 0, add, FlatExpr{Op("<=", {kMax, 0})}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.expected) {
            EXPECT_EQ(text(shift_expression(c.expr, c.offset, c.dir)), text(*c.expected));
        } else {
            expect_error([&] { shift_expression(c.expr, c.offset, c.dir); }, ErrorKind::Exception, "Overflow");
        }
    }
}

TEST(Shift, DoShiftSingleNode) {
    EXPECT_EQ(do_shift(Op("<=", {1, 2}), 10, ShiftDirection::Add), Op("<=", {11, 12}));
    EXPECT_EQ(do_shift(F(3), 10, ShiftDirection::Subtract), F(3));
    expect_error([] { do_shift(Op("+", {1, 0, 2}), 1, ShiftDirection::Subtract); }, ErrorKind::Exception,
                 "Overflow");
}

// ---------------------------------------------------------------------------
// Fluents
// ---------------------------------------------------------------------------

TEST(GetFluents, InNodeOrderWithRepeats) {
    EXPECT_EQ(get_fluents(FlatExpr{F(3), F(1), F(3)}), (std::vector<std::uint64_t>{3, 1, 3}));
    EXPECT_EQ(get_fluents(FlatExpr{I(1), O("a"), Op("not", {0})}), std::vector<std::uint64_t>{});
    // Every node counts, reached by the root or not; operands are not fluents.
    EXPECT_EQ(get_fluents(FlatExpr{F(kMax), B(true), Op("not", {1}), F(0), Op("and", {1})}),
              (std::vector<std::uint64_t>{kMax, 0}));
    EXPECT_EQ(get_fluents(FlatExpr{}), std::vector<std::uint64_t>{});
}

}  // namespace
