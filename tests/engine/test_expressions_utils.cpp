#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/simplification.hpp"
#include "engine/expressions/splitting.hpp"
#include "node_builders.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();


std::string text(std::span<const ExpressionNode> e) { return debug_text(e); }
std::string text(const std::vector<FlatExpr>& parts) {
    std::string out = "[";
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? ", " : "") + debug_text(parts[i]);
    return out + "]";
}

FluentAssignments assign(std::vector<std::pair<std::uint64_t, ExpressionNode>> values) {
    FluentAssignments a;
    for (auto& [f, v] : values) a.assign(f, std::move(v));
    return a;
}

// Runs f, which must throw Error of `kind` with exactly `message`.
void expect_error(const std::function<void()>& f, ErrorKind kind, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error raised, expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    }
}

// Post-order well-formedness: every operand names an earlier node.
bool operands_in_range(std::span<const ExpressionNode> e) {
    for (std::size_t i = 0; i < e.size(); ++i)
        for (NodeIndex op : e[i].operands())
            if (op >= i) return false;
    return true;
}

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

// Random typed expressions: numeric fluents 0-3, boolean fluents 4-6. Operands are
// drawn from all earlier nodes of the right type, so nodes are often shared.
class ExprGen {
  public:
    explicit ExprGen(std::uint32_t seed) : rng_(seed) {}

    FlatExpr typed(std::size_t n_nodes) {
        FlatExpr e;
        std::vector<NodeIndex> nums, bools;
        while (e.size() < n_nodes) {
            const NodeIndex pos = e.size();
            int k = pick(0, 13);
            if (k <= 1 || nums.empty()) {
                e.push_back(number());
                nums.push_back(pos);
            } else if (k == 2) {
                e.push_back(F(pick(0, 3)));
                nums.push_back(pos);
            } else if (k == 3 || bools.empty()) {
                e.push_back(pick(0, 2) == 0 ? B(pick(0, 1) == 1) : F(pick(4, 6)));
                bools.push_back(pos);
            } else if (k <= 7) {
                static const char* num_ops[] = {"+", "*", "-", "/"};
                const char* kind = num_ops[k - 4];
                e.push_back(Op(kind, operands(nums, kind[0] == '+' || kind[0] == '*' ? pick(1, 3) : 2)));
                nums.push_back(pos);
            } else {
                static const char* bool_ops[] = {"and", "or", "not", "==", "<=", "<"};
                const char* kind = bool_ops[k - 8];
                std::string s = kind;
                if (s == "and" || s == "or") e.push_back(Op(kind, operands(bools, pick(0, 3))));
                else if (s == "not") e.push_back(Op(kind, operands(bools, 1)));
                else if (s == "==" && pick(0, 1)) e.push_back(Op(kind, operands(bools, 2)));
                else e.push_back(Op(kind, operands(nums, 2)));
                bools.push_back(pos);
            }
        }
        return e;
    }

    // Anything goes: any kind, operands anywhere before the node.
    FlatExpr untyped(std::size_t n_nodes) {
        FlatExpr e;
        static const char* ops[] = {"+", "*", "-", "/", "and", "or", "not", "==", "<=", "<"};
        while (e.size() < n_nodes) {
            if (e.empty() || pick(0, 2) == 0) {
                e.push_back(leaf());
            } else {
                std::vector<NodeIndex> all(e.size());
                for (NodeIndex i = 0; i < e.size(); ++i) all[i] = i;
                e.push_back(Op(ops[pick(0, 9)], operands(all, pick(2, 3))));
            }
        }
        return e;
    }

    // Values for every fluent of the typed expressions.
    FluentAssignments full_assignment() {
        FluentAssignments a;
        for (std::uint64_t f = 0; f <= 3; ++f) a.assign(f, number());
        for (std::uint64_t f = 4; f <= 6; ++f) a.assign(f, B(pick(0, 1) == 1));
        return a;
    }
    // Some of the values of `full`.
    FluentAssignments part_of(const FluentAssignments& full) {
        FluentAssignments a;
        for (std::uint64_t f = 0; f <= 6; ++f)
            if (pick(0, 1)) a.assign(f, full.fluent_value(f));
        return a;
    }
    // Assignments of every sort, operator nodes included.
    FluentAssignments wild_assignment() {
        FluentAssignments a;
        for (std::uint64_t f = 0; f <= 6; ++f) {
            switch (pick(0, 3)) {
                case 0: break;
                case 1: a.assign(f, leaf()); break;
                case 2: a.assign(f, Op("+", {static_cast<NodeIndex>(pick(0, 5)), kMax})); break;
                default: a.assign(f, Op("not", {static_cast<NodeIndex>(pick(0, 5))}));
            }
        }
        return a;
    }

    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  private:
    // Integers and non-integral rationals, so that the evaluator's and the simplifier's
    // different treatment of a Rational with denominator 1 does not come into play.
    ExpressionNode number() {
        if (pick(0, 2)) return I(pick(-3, 3));
        return R(pick(-5, 5) * 2 + 1, 2);
    }
    ExpressionNode leaf() {
        switch (pick(0, 5)) {
            case 0: return B(pick(0, 1) == 1);
            case 1: return I(pick(-2, 2));
            case 2: return R(pick(-4, 4), pick(1, 2));
            case 3: return O(pick(0, 1) ? "a" : "b");
            default: return F(pick(0, 6));
        }
    }
    std::vector<NodeIndex> operands(const std::vector<NodeIndex>& from, int count) {
        std::vector<NodeIndex> out;
        for (int i = 0; i < count; ++i) out.push_back(from[pick(0, static_cast<int>(from.size()) - 1)]);
        return out;
    }

    std::mt19937 rng_;
};

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
