#include "engine/expressions/evaluation.hpp"
#include "node_builders.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;
using namespace quorvane::test_expressions;

// ---------------------------------------------------------------------------
// Evaluation
// ---------------------------------------------------------------------------

// Fluent values seen by the evaluation cases.
FluentAssignments eval_source() {
    return assign({{0, I(3)}, {1, B(true)}, {2, O("a")}, {3, R(1, 2)}, {4, R(2, 1)}});
}

struct EvalCase {
    const char* name;
    FlatExpr expr;
    ExpressionNode expected;
};

TEST(Evaluate, ValueTable) {
    const Integer big = Integer(2147483647) * Integer(2147483647) * Integer(2147483647);
    const std::vector<EvalCase> cases = {
        {"int constant", {I(7)}, I(7)},
        {"object constant", {O("x")}, O("x")},
        {"rational 2/1 constant stays rational", {R(2, 1)}, R(2, 1)},
        {"fluent reads the source", {F(0)}, I(3)},
        {"fluent copies an unnormalised value", {F(4)}, R(2, 1)},
        {"empty and", {Op("and", {})}, B(true)},
        {"empty or", {Op("or", {})}, B(false)},
        {"and over int", {I(1), B(true), Op("and", {1, 0})}, B(false)},
        {"and over true fluent", {F(1), B(true), Op("and", {0, 1})}, B(true)},
        {"or over ints", {I(1), I(0), Op("or", {0, 1})}, B(false)},
        {"or finds true", {I(1), F(1), Op("or", {0, 1})}, B(true)},
        {"not of int 0", {I(0), Op("not", {0})}, B(false)},
        {"not of false", {B(false), Op("not", {0})}, B(true)},
        {"int 2 differs from rational 2/1", {I(2), R(2, 1), Op("==", {0, 1})}, B(false)},
        {"normalised sum equals int", {R(1, 2), R(3, 2), Op("+", {0, 1}), I(2), Op("==", {2, 3})}, B(true)},
        {"equal objects", {O("a"), O("a"), Op("==", {0, 1})}, B(true)},
        {"object fluent equals object", {F(2), O("a"), Op("==", {0, 1})}, B(true)},
        {"bool true differs from int 1", {B(true), I(1), Op("==", {0, 1})}, B(false)},
        {"div to rational", {I(1), I(2), Op("/", {0, 1})}, R(1, 2)},
        {"div to int", {I(4), I(2), Op("/", {0, 1})}, I(2)},
        {"minus", {I(1), R(1, 2), Op("-", {0, 1})}, R(1, 2)},
        {"times to int", {R(2, 3), I(3), Op("*", {0, 1})}, I(2)},
        {"le across kinds", {I(2), R(2, 1), Op("<=", {0, 1})}, B(true)},
        {"lt across kinds", {I(2), R(2, 1), Op("<", {0, 1})}, B(false)},
        {"single-operand plus normalises", {R(2, 1), Op("+", {0})}, I(2)},
        {"repeated operand", {F(0), Op("*", {0, 0, 0})}, I(27)},
        {"fluent arithmetic", {F(0), F(3), Op("-", {0, 1})}, R(5, 2)},
        {"beyond 64 bits",
         {I(2147483647), Op("*", {0, 0, 0})},
         ExpressionNode::integer(big)},
        {"root need not reach every node", {I(5), O("z"), B(true)}, B(true)},
    };
    const FluentAssignments source = eval_source();
    for (const auto& c : cases) {
        ExpressionNode got = internal_evaluate(c.expr, source);
        EXPECT_EQ(got, c.expected) << c.name << ": got " << got.debug() << ", expected " << c.expected.debug();
    }
}

struct EvalErrorCase {
    const char* name;
    FlatExpr expr;
    ErrorKind kind;
    const char* message;
};

TEST(Evaluate, ErrorTable) {
    const std::vector<EvalErrorCase> cases = {
        {"le over bool", {I(1), B(true), Op("<=", {0, 1})}, ErrorKind::ValueError, "Expected a number!"},
        {"lt over object fluent", {F(2), I(1), Op("<", {1, 0})}, ErrorKind::ValueError, "Expected a number!"},
        {"plus over bool fluent", {I(1), F(1), Op("+", {0, 1})}, ErrorKind::ValueError, "Expected a number!"},
        {"times over object", {O("a"), Op("*", {0})}, ErrorKind::ValueError, "Expected a number!"},
        {"minus over bool", {B(false), I(1), Op("-", {1, 0})}, ErrorKind::ValueError, "Expected a number!"},
        {"div by int zero", {I(1), I(0), Op("/", {0, 1})}, ErrorKind::ZeroDivisionError, "division by zero"},
        {"div by rational zero",
         {I(1), ExpressionNode::rational(Rational(Integer(0))), Op("/", {0, 1})},
         ErrorKind::ZeroDivisionError,
         "division by zero"},
        {"div by computed zero", {I(1), F(0), F(0), Op("-", {1, 2}), Op("/", {0, 3})}, ErrorKind::ZeroDivisionError,
         "division by zero"},
        {"non-number before zero divisor", {B(true), I(0), Op("/", {0, 1})}, ErrorKind::ValueError,
         "Expected a number!"},
        {"unreached zero division", {I(1), I(0), Op("/", {0, 1}), B(true)}, ErrorKind::ZeroDivisionError,
         "division by zero"},
        {"error under an or that is already true",
         {B(true), O("a"), Op("+", {1}), Op("or", {0, 2})},
         ErrorKind::ValueError,
         "Expected a number!"},
    };
    const FluentAssignments source = eval_source();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_error([&] { internal_evaluate(c.expr, source); }, c.kind, c.message);
    }
}

TEST(Evaluate, MalformedInputIsInternalError) {
    const std::vector<std::pair<const char*, FlatExpr>> cases = {
        {"empty expression", {}},
        {"operand names the node itself", {I(1), Op("not", {1})}},
        {"operand names a later node", {Op("not", {1}), B(true)}},
        {"operand far out of range", {I(1), Op("+", {0, kMax})}},
        {"unreached node with a bad operand", {Op("and", {5}), B(true)}},
        {"plus without operands", {Op("+", {})}},
        {"times without operands", {B(true), Op("*", {}), Op("and", {0})}},
        {"fluent missing from the assignments", {F(9)}},
        {"unreached missing fluent", {F(9), B(true)}},
    };
    const FluentAssignments source = eval_source();
    for (const auto& [name, expr] : cases) {
        EXPECT_THROW(internal_evaluate(expr, source), InternalError) << name;
    }
}

}  // namespace
