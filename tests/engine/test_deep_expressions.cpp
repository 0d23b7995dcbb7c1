// Every walk over an expression, run on a small stack over a condition nested far deeper
// than that stack could take one call per level of: a walk that recursed would overflow
// it. Each must give over the deep condition what it gives over its two-level form.
#include <gtest/gtest.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/heuristics/explicit_hmax.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/space/search_space.hpp"
#include "engine/task/actions.hpp"
#include "engine/expressions/simplification.hpp"
#include "engine/expressions/splitting.hpp"
#include "engine/expressions/expression_manager.hpp"
#include "node_builders.hpp"
#include "small_stack.hpp"

namespace quorvane {
namespace {

using namespace test_nodes;
using test_support::run_on_small_stack;

constexpr std::size_t kDeep = 10'000;  // even, so that negations cancel out
constexpr std::size_t kShallow = 2;

// x < 3 over fluent 0, nested `depth` levels of `kind`: around the comparison for a
// connective, around x for an arithmetic operator.
FlatExpr below_three(std::string_view kind, std::size_t depth) {
    if (kind == "not" || kind == "and" || kind == "or") return nested({F(0), I(3), Op("<", {0, 1})}, kind, depth);
    return compared(nested({F(0)}, kind, depth), "<", I(3));
}

StatePtr state_with(std::int64_t x) { return StatePtr(State::make(FlatExpr{I(x)})); }

std::string text_of(const std::optional<double>& v) { return v ? std::to_string(*v) : "dead end"; }

// The value of `e` where x is 0 and where x is 3.
std::string values(std::span<const ExpressionNode> e) {
    return internal_evaluate(e, *state_with(0)).debug() + " " + internal_evaluate(e, *state_with(3)).debug();
}

// One action: under `condition`, x := x + delta.
ActionEvents counter_events(const FlatExpr& condition, std::int64_t delta) {
    Event e;
    e.action = Action{0};
    e.conditions = condition;
    e.effects = {Effect{0, {F(0), I(delta), Op("+", {0, 1})}}};
    std::vector<TimedEvent> list;
    list.emplace_back(Timing{true, Rational(0)}, std::move(e));
    ActionEvents events;
    events.emplace_back(Action{0}, std::move(list));
    return events;
}

// `condition` both as the action's condition and as the goal.
std::string search_space_walk(const FlatExpr& condition) {
    SearchSpaceInput in;
    in.actions = {Action{0}};
    in.actions_duration = {std::nullopt};
    in.events = counter_events(condition, 1);
    in.initial_state = FlatExpr{I(2)};
    in.goal = condition;
    SearchSpace space(std::move(in));
    StatePtr child = space.get_successor_state(*space.initial_state(), Action{0});
    if (!child) return "no successor";
    return std::to_string(space.goal_reached(*space.initial_state())) + " " + std::to_string(space.goal_reached(*child)) +
           " " + std::to_string(space.subgoals_sat(*child).size());
}

// The goal x < 3, with x := x - 1 always applicable: two steps from x = 4.
std::string relaxation_walk(const FlatExpr& goal, RelaxationKind kind) {
    const DeleteRelaxationHeuristic h({Action{0}}, {"int"}, {}, counter_events({B(true)}, -1), goal, false, false,
                                      false, kind);
    return text_of(h.eval(*state_with(4))) + " " + text_of(h.eval(*state_with(2)));
}

std::string explicit_walk(const FlatExpr& goal) {
    const HMaxExplicit h({Action{0}}, {"int"}, counter_events({B(true)}, -1), goal, false);
    return text_of(h.eval(*state_with(4))) + " " + text_of(h.eval(*state_with(2)));
}

std::string simplify_walk(const FlatExpr& e) {
    FluentAssignments zero;
    zero.assign(0, I(0));
    return debug_text(simplify(e, zero)) + " " + values(simplify(e, FluentAssignments()));
}

std::string split_walk(const FlatExpr& e) {
    // e and x == 2: the deep conjunct is cut out of the conjunction.
    FlatExpr conjunction = e;
    const NodeIndex left = conjunction.size() - 1;
    conjunction.insert(conjunction.end(), {F(0), I(2), Op("==", {left + 1, left + 2})});
    conjunction.push_back(Op("and", {left, left + 3}));
    std::string out;
    for (const FlatExpr& part : split_expression(conjunction)) out += values(part) + "; ";
    return out;
}

std::string shift_walk(const FlatExpr& e) {
    FlatExpr moved(5, I(7));  // five nodes in front: the shifted expression reads the same after them
    FlatExpr shifted = shift_expression(e, 5, ShiftDirection::Add);
    moved.insert(moved.end(), shifted.begin(), shifted.end());
    return values(moved);
}

std::string intern_walk(const FlatExpr& e) {
    ExpressionManager m;
    const Expression first = m.put(e);
    const Expression shallow = m.put(below_three("not", 0));
    return std::to_string(m.put(e) == first) + std::to_string(shallow == first) + std::to_string(m.size());
}

struct Walk {
    std::string name;
    std::function<std::string(const FlatExpr&)> run;
};

std::vector<Walk> walks() {
    return {
        {"evaluate", [](const FlatExpr& e) { return values(e); }},
        {"simplify", simplify_walk},
        {"split", split_walk},
        {"shift", shift_walk},
        {"fluents", [](const FlatExpr& e) { return std::to_string(get_fluents(e).size()); }},
        {"intern", intern_walk},
        {"search_space", search_space_walk},
        {"hff", [](const FlatExpr& e) { return relaxation_walk(e, RelaxationKind::HFF); }},
        {"hadd", [](const FlatExpr& e) { return relaxation_walk(e, RelaxationKind::HADD); }},
        {"hmax", [](const FlatExpr& e) { return relaxation_walk(e, RelaxationKind::HMAX); }},
        {"hmax_explicit", explicit_walk},
    };
}

using WalkCase = std::pair<Walk, std::string>;  // the walk, the nesting kind

class DeepWalks : public ::testing::TestWithParam<WalkCase> {};

TEST_P(DeepWalks, GiveOnASmallStackWhatTheyGiveOverTheShallowForm) {
    const auto& [walk, kind] = GetParam();
    const FlatExpr deep = below_three(kind, kDeep);
    std::string over_deep;
    run_on_small_stack([&] { over_deep = walk.run(deep); });
    EXPECT_EQ(over_deep, walk.run(below_three(kind, kShallow)));
}

std::vector<WalkCase> walk_cases() {
    std::vector<WalkCase> out;
    for (const Walk& w : walks())
        for (const char* kind : {"not", "and", "or", "+", "-", "*", "/"}) out.emplace_back(w, kind);
    return out;
}

std::string case_name(const ::testing::TestParamInfo<WalkCase>& info) {
    const std::string& kind = info.param.second;
    const char* label = kind == "+" ? "plus" : kind == "-" ? "minus" : kind == "*" ? "times" : "div";
    return info.param.first.name + "_" + (std::isalpha(kind[0]) ? kind : std::string(label));
}

INSTANTIATE_TEST_SUITE_P(Walks, DeepWalks, ::testing::ValuesIn(walk_cases()), case_name);

}  // namespace
}  // namespace quorvane
