#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/state/compiled_conditions.hpp"
#include "engine/support/errors.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/space/search_space.hpp"
#include "node_builders.hpp"
#include "small_stack.hpp"

namespace quorvane {
namespace {

using namespace test_nodes;
using test_support::run_on_small_stack;

// Fluents 0 and 1 get bits; 2 and 3 hold numbers, 4 object names, 5 booleans or an
// integer, all in cells.
LayoutPtr test_layout() { return StateLayout::make({true, true, false, false, false, false}); }

// Every combination of a set of values per fluent, each in the test layout: numbers
// inline and boxed, a rational, and values of the wrong kind for arithmetic.
std::vector<StatePtr> test_states(const LayoutPtr& layout) {
    const std::vector<std::vector<ExpressionNode>> choices = {
        {B(false), B(true)},
        {B(false), B(true)},
        {I(0), I(3), I(-2), R(1, 2), I(std::int64_t{1} << 62), O("a"), B(true)},
        {I(3), I(5)},
        {O("a"), O("b"), I(1)},
        {B(true), B(false), I(0)},
    };
    std::vector<StatePtr> out;
    std::vector<std::size_t> pick(choices.size(), 0);
    while (true) {
        FlatExpr nodes;
        for (std::size_t f = 0; f < choices.size(); ++f) nodes.push_back(choices[f][pick[f]]);
        StatePtr s(State::make(nodes, layout));
        EXPECT_EQ(&s->values.layout(), layout.get());
        out.push_back(std::move(s));
        std::size_t f = 0;
        while (f < pick.size() && ++pick[f] == choices[f].size()) pick[f++] = 0;
        if (f == pick.size()) break;
    }
    return out;
}

// What the prepared form must decide without the evaluator: nothing (it is not
// prepared), every state, or every state where fluent 2 holds an inline integer.
// `Sometimes`: prepared, but large sums may still go to the evaluator.
enum class Decides { Never, Always, WhenF2Int, Sometimes };

struct FormCase {
    std::string name;
    FlatExpr expr;
    Decides decides;
};

void PrintTo(const FormCase& c, std::ostream* os) { *os << c.name; }

bool f2_is_int(const State& s) { return s.values.cell(2).is_small_int(); }

// Whether the prepared form of case `c` must answer in `s`.
bool must_decide(const FormCase& c, const State& s) {
    return c.decides == Decides::Always || (c.decides == Decides::WhenF2Int && f2_is_int(s));
}

// What the evaluator gives for `expr` in `s`; nothing where it fails.
std::optional<ExpressionNode> evaluated(const FlatExpr& expr, const State& s) {
    try {
        return internal_evaluate(std::span<const ExpressionNode>(expr), s);
    } catch (const Error&) {
        return std::nullopt;
    } catch (const InternalError&) {
        return std::nullopt;
    }
}

const std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
// Levels of nesting that a preparation recursing once per level would need far more than
// the small stack for; even, so that negations cancel out.
constexpr std::size_t kDeep = 10'000;

std::vector<FormCase> condition_cases() {
    return {
        {"bit_fluent", {F(0)}, Decides::Always},
        {"bits_and_negation", {F(0), F(1), Op("not", {1}), Op("and", {0, 2})}, Decides::Always},
        {"cell_fluent_as_truth", {F(0), F(1), F(5), Op("and", {0, 1, 2})}, Decides::Always},
        {"disjunction", {F(0), F(1), Op("not", {1}), Op("or", {0, 2})}, Decides::Always},
        {"nested_junctions", {F(0), F(5), Op("or", {0, 1}), F(1), Op("and", {2, 3}), Op("and", {4, 0})},
         Decides::Always},
        {"double_negation_of_a_cell", {F(5), Op("not", {0}), Op("not", {1})}, Decides::Always},
        {"negated_integer", {I(5), Op("not", {0}), Op("not", {1}), F(0), Op("and", {2, 3})}, Decides::Always},
        {"fluent_equals_object", {F(4), O("a"), Op("==", {0, 1})}, Decides::Always},
        {"object_equals_fluent_negated", {O("b"), F(4), Op("==", {0, 1}), Op("not", {2})}, Decides::Always},
        {"bit_equals_false", {F(0), B(false), Op("==", {0, 1})}, Decides::Always},
        {"bit_equals_integer", {F(0), I(1), Op("==", {0, 1})}, Decides::Always},
        {"cell_equals_rational", {F(2), R(1, 2), Op("==", {0, 1})}, Decides::Always},
        {"cell_equals_big_integer", {F(2), I(std::int64_t{1} << 62), Op("==", {0, 1})}, Decides::Always},
        {"cells_equal_values_with_bits",
         {F(4), O("a"), Op("==", {0, 1}), F(2), I(3), Op("==", {3, 4}), F(0), Op("and", {2, 5, 6})},
         Decides::Always},
        {"cell_asked_two_values", {F(2), I(0), Op("==", {0, 1}), I(3), Op("==", {0, 3}), Op("and", {2, 4})},
         Decides::Always},
        {"cell_equals_value_or_bit", {F(5), B(false), Op("==", {0, 1}), F(1), Op("or", {2, 3})}, Decides::Always},
        {"two_cells_equal", {F(2), F(3), Op("==", {0, 1})}, Decides::Always},
        {"cell_equals_bit", {F(5), F(0), Op("==", {0, 1})}, Decides::Always},
        {"constants_equal", {I(2), I(2), Op("==", {0, 1}), F(1), Op("and", {3, 2})}, Decides::Always},
        {"constant_false_conjunct", {B(false), F(0), Op("and", {0, 1})}, Decides::Always},
        {"unreached_constant", {I(7), F(0)}, Decides::Always},
        {"le", {F(2), I(3), Op("<=", {0, 1})}, Decides::WhenF2Int},
        {"lt_of_a_sum", {F(2), I(2), F(3), Op("*", {1, 2}), Op("+", {0, 3}), I(10), Op("<", {4, 5})},
         Decides::WhenF2Int},
        {"negated_lt", {F(3), F(2), Op("<", {0, 1}), Op("not", {2})}, Decides::WhenF2Int},
        {"difference_with_a_bit", {F(0), F(3), F(2), Op("-", {1, 2}), I(1), Op("<=", {3, 4}), Op("and", {0, 5})},
         Decides::WhenF2Int},
        {"false_and_comparison", {B(false), F(2), I(0), Op("<", {1, 2}), Op("and", {0, 3})}, Decides::WhenF2Int},
        {"comparison_in_a_clause", {F(1), F(2), F(3), Op("<", {1, 2}), Op("or", {0, 3})}, Decides::WhenF2Int},
        {"scaled_by_zero", {F(2), I(0), Op("*", {0, 1}), I(0), Op("<=", {2, 3})}, Decides::WhenF2Int},
        {"overflowing_sum", {F(2), I(kMax), Op("+", {0, 1}), I(0), Op("<=", {2, 3})}, Decides::Sometimes},
        {"cell_fluent_root", {F(2)}, Decides::Never},
        {"integer_root", {I(1)}, Decides::Never},
        {"product_of_fluents", {F(2), F(3), Op("*", {0, 1}), I(1), Op("<", {2, 3})}, Decides::Never},
        {"bit_in_arithmetic", {F(0), I(1), Op("<=", {0, 1})}, Decides::Never},
        {"equals_of_a_sum", {F(2), I(1), Op("+", {0, 1}), I(4), Op("==", {2, 3})}, Decides::Never},
        {"quotient", {F(3), F(2), Op("/", {0, 1}), I(1), Op("<=", {2, 3})}, Decides::Never},
        {"rational_in_arithmetic", {F(2), R(1, 2), Op("<", {0, 1})}, Decides::Never},
        {"unreached_quotient", {F(3), F(2), Op("/", {0, 1}), F(0)}, Decides::Never},
        {"fluent_beyond_the_state", {F(0), F(9), Op("and", {0, 1})}, Decides::Never},
        {"operand_not_earlier", {F(0), ExpressionNode::negation(1)}, Decides::Never},
        {"longer_sum_on_the_right", {F(2), F(2), F(3), Op("+", {1, 2}), Op("<=", {0, 3})}, Decides::WhenF2Int},
        {"difference_of_a_longer_sum",
         {F(3), F(2), F(3), Op("+", {1, 2}), Op("-", {0, 3}), I(0), Op("<", {4, 5})},
         Decides::WhenF2Int},
        {"deep_negations", nested({F(0)}, "not", kDeep), Decides::Always},
        {"deep_negations_of_a_cell", nested({F(5)}, "not", kDeep + 1), Decides::Always},
        {"deep_conjunctions", nested({F(0), F(1), Op("and", {0, 1})}, "and", kDeep), Decides::Always},
        {"deep_disjunctions", nested({F(0), F(1), Op("or", {0, 1})}, "or", kDeep), Decides::Always},
        {"deep_negated_comparison", nested({F(2), I(3), Op("<=", {0, 1})}, "not", kDeep + 1), Decides::WhenF2Int},
        {"comparison_of_a_deep_sum", compared(nested({F(2)}, "+", kDeep), "<", I(3)), Decides::WhenF2Int},
        {"comparison_of_a_deep_difference", compared(nested({F(2)}, "-", kDeep), "<=", F(3)), Decides::WhenF2Int},
        {"comparison_of_a_deep_product", compared(nested({F(2)}, "*", kDeep), "<", I(0)), Decides::WhenF2Int},
        {"deep_quotient", compared(nested({F(2)}, "/", kDeep), "<", I(0)), Decides::Never},
    };
}

class CompiledConditionTable : public ::testing::TestWithParam<FormCase> {};

// The prepared form agrees with the evaluator wherever it answers, and answers nothing
// where the evaluator fails. It is prepared on a small stack: nesting to any depth is read
// without a call per level.
TEST_P(CompiledConditionTable, AgreesWithTheEvaluator) {
    const FormCase& c = GetParam();
    const LayoutPtr layout = test_layout();
    CompiledCondition form;
    run_on_small_stack([&] { form = CompiledCondition::compile(c.expr, layout); });
    ASSERT_EQ(form.ready(), c.decides != Decides::Never);
    std::size_t decided = 0;
    for (const StatePtr& s : test_states(layout)) {
        const CompiledCondition::Result r = form.eval(*s);
        const std::optional<ExpressionNode> value = evaluated(c.expr, *s);
        if (!value || value->kind() != NodeKind::Bool) {
            EXPECT_EQ(r, CompiledCondition::kUnknown) << debug_text(c.expr);
            continue;
        }
        if (r != CompiledCondition::kUnknown) {
            ++decided;
            EXPECT_EQ(r == CompiledCondition::kTrue, value->as_bool()) << debug_text(c.expr);
        }
        if (must_decide(c, *s)) EXPECT_NE(r, CompiledCondition::kUnknown) << debug_text(c.expr);
    }
    if (c.decides != Decides::Never) EXPECT_GT(decided, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompiledConditionTable, ::testing::ValuesIn(condition_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(CompiledCondition, StatesOfAnotherLayoutGoToTheEvaluator) {
    const CompiledCondition form = CompiledCondition::compile(FlatExpr{F(0)}, test_layout());
    ASSERT_TRUE(form.ready());
    for (const StatePtr& s : test_states(test_layout())) EXPECT_EQ(form.eval(*s), CompiledCondition::kUnknown);
}

std::vector<FormCase> value_cases() {
    return {
        {"integer", {I(4)}, Decides::Always},
        {"object", {O("b")}, Decides::Always},
        {"rational", {R(1, 3)}, Decides::Always},
        {"boxed_integer", {I(std::int64_t{1} << 62)}, Decides::Always},
        {"copy_of_a_cell", {F(2)}, Decides::Always},
        {"copy_of_a_bit", {F(0)}, Decides::Always},
        {"condition", {F(0), F(1), Op("and", {0, 1})}, Decides::Always},
        {"equality", {F(4), O("a"), Op("==", {0, 1})}, Decides::Always},
        {"increment", {F(2), I(1), Op("+", {0, 1})}, Decides::WhenF2Int},
        {"difference", {F(3), F(2), Op("-", {0, 1})}, Decides::WhenF2Int},
        {"beyond_inline_integers", {F(3), I(std::int64_t{1} << 58), Op("*", {0, 1})}, Decides::Sometimes},
        {"quotient", {F(3), I(2), Op("/", {0, 1})}, Decides::Never},
        {"fluent_beyond_the_state", {F(9)}, Decides::Never},
        {"unreached_sum", {F(4), I(1), Op("+", {0, 1}), I(3)}, Decides::Never},
        {"difference_of_a_longer_sum", {F(3), F(2), F(3), Op("+", {1, 2}), Op("-", {0, 3})}, Decides::WhenF2Int},
        {"sum_times_a_constant", {F(2), F(3), Op("+", {0, 1}), I(3), Op("*", {2, 3})}, Decides::WhenF2Int},
        {"constant_times_a_sum", {I(-3), F(2), F(3), Op("+", {1, 2}), Op("*", {0, 3})}, Decides::WhenF2Int},
        {"deep_sum", nested({F(2), I(1), Op("+", {0, 1})}, "+", kDeep), Decides::WhenF2Int},
        {"deep_difference", nested({F(3), F(2), Op("-", {0, 1})}, "-", kDeep), Decides::WhenF2Int},
        {"deep_product", nested({F(3), I(2), Op("*", {0, 1})}, "*", kDeep), Decides::Always},
        {"deep_condition", nested({F(0), F(1), Op("or", {0, 1})}, "or", kDeep), Decides::Always},
    };
}

class CompiledValueTable : public ::testing::TestWithParam<FormCase> {};

TEST_P(CompiledValueTable, AgreesWithTheEvaluator) {
    const FormCase& c = GetParam();
    const LayoutPtr layout = test_layout();
    CompiledValue form;
    run_on_small_stack([&] { form = CompiledValue::compile(c.expr, layout); });
    ASSERT_EQ(form.ready(), c.decides != Decides::Never);
    std::size_t decided = 0;
    for (const StatePtr& s : test_states(layout)) {
        Cell cell;
        const bool known = form.eval(*s, cell);
        const std::optional<ExpressionNode> value = evaluated(c.expr, *s);
        if (!value) {
            EXPECT_FALSE(known) << debug_text(c.expr);
            continue;
        }
        if (known) {
            ++decided;
            EXPECT_TRUE(cell.decode() == *value) << debug_text(c.expr) << " gave " << cell.decode().debug();
        }
        if (must_decide(c, *s)) EXPECT_TRUE(known) << debug_text(c.expr);
    }
    if (c.decides != Decides::Never) EXPECT_GT(decided, 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompiledValueTable, ::testing::ValuesIn(value_cases()),
                         [](const auto& info) { return info.param.name; });

// --- through a search space ------------------------------------------------------------------

// One action whose condition is `condition` and whose effects are `effects`, over
// `initial`; fluent 0 only ever holds booleans.
SearchSpace one_action_task(FlatExpr initial, FlatExpr condition, std::vector<Effect> effects, FlatExpr goal) {
    SearchSpaceInput in;
    in.actions = {Action{0}};
    in.actions_duration = {std::nullopt};
    Event e;
    e.action = Action{0};
    e.conditions = std::move(condition);
    e.effects = std::move(effects);
    std::vector<TimedEvent> list;
    list.emplace_back(Timing{true, Rational(0)}, std::move(e));
    in.events.emplace_back(Action{0}, std::move(list));
    in.initial_state = std::move(initial);
    in.goal = std::move(goal);
    return SearchSpace(std::move(in));
}

struct ErrorCase {
    std::string name;
    FlatExpr initial;
    FlatExpr condition;
    std::vector<Effect> effects;
    ErrorKind kind;
    std::string text;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }

class SuccessorErrors : public ::testing::TestWithParam<ErrorCase> {};

// A comparison over a value that is not a number fails even where another part of the
// condition is false, as the evaluator of the whole condition does.
TEST_P(SuccessorErrors, SameErrorAsTheEvaluator) {
    const ErrorCase& c = GetParam();
    SearchSpace space = one_action_task(c.initial, c.condition, c.effects, {B(true)});
    StatePtr root = space.initial_state();
    ASSERT_EQ(&root->values.layout(), space.layout().get());
    try {
        space.get_successor_state(*root, Action{0});
        ADD_FAILURE() << "expected: " << c.text;
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), c.kind);
        EXPECT_EQ(std::string(e.what()), c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SuccessorErrors,
    ::testing::Values(
        ErrorCase{"false_bit_before_a_comparison",
                  {B(false), O("a")},
                  {F(0), F(1), I(3), Op("<=", {1, 2}), Op("and", {0, 3})},
                  {},
                  ErrorKind::ValueError,
                  "Expected a number!"},
        ErrorCase{"false_constant_before_a_comparison",
                  {B(true), B(true)},
                  {B(false), I(0), F(1), Op("<", {1, 2}), Op("and", {0, 3})},
                  {},
                  ErrorKind::ValueError,
                  "Expected a number!"},
        ErrorCase{"comparison_in_a_clause_already_true",
                  {B(true), O("a")},
                  {F(0), F(1), I(3), Op("<=", {1, 2}), Op("or", {0, 3})},
                  {},
                  ErrorKind::ValueError,
                  "Expected a number!"},
        ErrorCase{"effect_after_a_prepared_one",
                  {B(true), I(0)},
                  {F(0)},
                  {Effect{0, {B(false)}}, Effect{1, {I(1), F(1), Op("/", {0, 1})}}},
                  ErrorKind::ZeroDivisionError,
                  "division by zero"},
        ErrorCase{"increment_of_an_object",
                  {B(true), O("a")},
                  {F(0)},
                  {Effect{1, {F(1), I(1), Op("+", {0, 1})}}},
                  ErrorKind::ValueError,
                  "Expected a number!"}),
    [](const auto& info) { return info.param.name; });

// Prepared effects write what the evaluator would, including a value that moves the
// state out of its layout and one that needs a box.
TEST(CompiledEffects, WriteTheEvaluatorsValues) {
    SearchSpace space = one_action_task(
        {B(false), I(5), B(true), O("a")}, {F(0), Op("not", {0})},
        {Effect{0, {B(true)}}, Effect{1, {F(1), I(std::int64_t{1} << 59), Op("*", {0, 1})}},
         Effect{2, {F(1), I(5), Op("==", {0, 1})}}, Effect{3, {F(1)}}},
        {F(0), F(2), Op("and", {0, 1})});
    StatePtr root = space.initial_state();
    EXPECT_FALSE(space.goal_reached(*root));
    StatePtr child = space.get_successor_state(*root, Action{0});
    ASSERT_TRUE(child);
    EXPECT_TRUE(child->values[0] == B(true));
    EXPECT_TRUE(child->values[1] == ExpressionNode::integer(Integer(5) * Integer(std::int64_t{1} << 59)));
    EXPECT_TRUE(child->values[2] == B(true));
    EXPECT_TRUE(child->values[3] == I(5));
    EXPECT_TRUE(space.goal_reached(*child));
    EXPECT_FALSE(space.get_successor_state(*child, Action{0}));
}

}  // namespace
}  // namespace quorvane
