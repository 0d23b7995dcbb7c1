// Value cells: the packed form of a fluent value, and its box for what does not fit.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "engine/expressions/node.hpp"
#include "engine/state/cell.hpp"
#include "node_builders.hpp"

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;

// ---------------------------------------------------------------------------
// Value cells
// ---------------------------------------------------------------------------

ExpressionNode BigI(const std::string& decimal) { return ExpressionNode::integer(Integer::from_decimal(decimal)); }
ExpressionNode BigR(const std::string& n, const std::string& d) {
    return ExpressionNode::rational(Rational(Integer::from_decimal(n), Integer::from_decimal(d)));
}

struct CellCase {
    const char* what;
    ExpressionNode node;
    bool boxed;
};

class CellRoundTrip : public ::testing::TestWithParam<CellCase> {};

INSTANTIATE_TEST_SUITE_P(
    Values, CellRoundTrip,
    ::testing::Values(CellCase{"true", B(true), false}, CellCase{"false", B(false), false},
                      CellCase{"zero", I(0), false}, CellCase{"minus one", I(-1), false},
                      CellCase{"largest inline integer", BigI("1152921504606846975"), false},
                      CellCase{"smallest inline integer", BigI("-1152921504606846976"), false},
                      CellCase{"one past the largest", BigI("1152921504606846976"), true},
                      CellCase{"one below the smallest", BigI("-1152921504606846977"), true},
                      CellCase{"an int64 bound", BigI("-9223372036854775808"), true},
                      CellCase{"beyond 64 bits", BigI("-123456789012345678901234567890"), true},
                      CellCase{"a half", R(1, 2), false}, CellCase{"negative thirds", R(-7, 3), false},
                      CellCase{"a rational with denominator 1", R(2, 1), false},
                      CellCase{"int32 bounds", R(-2147483647 - 1, 2147483647), true},
                      CellCase{"largest inline denominator", R(2147483647, 536870911), false},
                      CellCase{"denominator one past", BigR("1", "536870912"), true},
                      CellCase{"numerator beyond 32 bits", BigR("2147483648", "3"), true},
                      CellCase{"big parts", BigR("-98765432109876543210", "12345678901234567891"), true},
                      CellCase{"an object", O("ball1"), false}, CellCase{"the empty name", O(""), false},
                      CellCase{"a name with quotes", O("a \"b\"\n"), false},
                      CellCase{"a fluent node", F(7), true}, CellCase{"an operator node", Op("and", {0, 1}), true}),
    [](const ::testing::TestParamInfo<CellCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST_P(CellRoundTrip, DecodesToTheSameNode) {
    const CellCase& c = GetParam();
    const std::size_t boxes = CellBox::live();
    {
        const OwnedCell cell(c.node);
        EXPECT_EQ(cell.get().is_boxed(), c.boxed);
        const ExpressionNode back = cell.get().decode();
        EXPECT_EQ(back, c.node);
        EXPECT_EQ(back.debug(), c.node.debug());
        EXPECT_EQ(cell.get().is_number(), c.node.is_number());
        // Encoded again, the value is the same cell (or an equal box).
        const OwnedCell again(back);
        EXPECT_TRUE(same_value(cell.get(), again.get()));
        EXPECT_EQ(cell.get().value_hash(), again.get().value_hash());
        EXPECT_EQ(cell.get().is_boxed() ? 0 : cell.get().word(), again.get().is_boxed() ? 0 : again.get().word());
    }
    EXPECT_EQ(CellBox::live(), boxes);
}

TEST(ValueCells, EqualityIsNodeEquality) {
    const std::vector<ExpressionNode> values = {
        B(true), B(false), I(0), I(1), I(2), R(2, 1), R(1, 2), R(-1, 2), O("a"), O("b"), O("1"),
        BigI("1152921504606846976"), BigI("-1152921504606846977"), BigR("1", "536870912"), BigR("2147483648", "3"),
        F(1), F(2), Op("and", {0, 1}), Op("or", {0, 1})};
    std::vector<OwnedCell> cells, again;
    for (const ExpressionNode& v : values) cells.emplace_back(v), again.emplace_back(v);
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (std::size_t j = 0; j < values.size(); ++j) {
            SCOPED_TRACE(values[i].debug() + " vs " + values[j].debug());
            EXPECT_EQ(same_value(cells[i].get(), again[j].get()), values[i] == values[j]);
            if (values[i] == values[j]) EXPECT_EQ(cells[i].get().value_hash(), again[j].get().value_hash());
        }
    }
}

}  // namespace
