// The relaxed task of hff, hadd and hmax as construction builds it: operators with
// their preconditions in postfix form over interned leaves, the goal and idle
// conditions, the linear numeric conditions and what each operator can lower. Built
// once, never changed afterwards. Internal to the delete-relaxation heuristics (and
// their tests, which evaluate it the plain way to check the fast evaluation).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/expressions/expression_manager.hpp"

namespace quorvane::relaxation {

template <class V>
using ActionMap = boost::unordered_flat_map<Action, V, support::FxHash<Action>>;
template <class V>
using FluentMap = boost::unordered_flat_map<std::uint64_t, V, support::FxHash<std::uint64_t>>;

// One entry of a condition in postfix form: a conjunction or disjunction of the `value`
// entries below it on the evaluation stack, or a leaf whose cost is looked up by handle.
struct HNode {
    enum class Kind : std::uint8_t { And, Or, Leaf };
    Kind kind;
    std::uint64_t value;  // operand count, or the leaf's handle index
    static HNode and_of(std::uint64_t n) { return {Kind::And, n}; }
    static HNode or_of(std::uint64_t n) { return {Kind::Or, n}; }
    static HNode leaf(Expression h) { return {Kind::Leaf, h.index}; }
    Expression handle() const { return Expression{value}; }
};

struct HeuristicExpression {
    std::vector<HNode> entries;
    bool has_disjunction = false;
};

// Holds when constant + sum of weight * value <= 0 (the constant is the last weight).
struct LinearCondition {
    Expression handle;
    std::vector<std::uint64_t> fluents;
    std::vector<double> weights;  // one per fluent, then the constant term
};

// A linear condition that an operator's numeric effects can bring closer to holding,
// with the change per application worked out once instead of per state.
struct LoweredCondition {
    std::uint32_t linear;  // position in RelaxedTask::linear_conditions
    double change;         // the negative change d (unused when `assigned` decides)
    bool assigned;         // some fluent is assigned or changed by a complex effect
};

struct Operator {
    HeuristicExpression precondition;
    std::vector<Expression> add_effects;
    FluentMap<double> constant_increase_effects;
    FluentMap<double> constant_assign_effects;
    FluentMap<Expression> complex_numeric_effects;
    std::uint32_t id = 0;
    Action action;
    double cost = 1.0;

    bool has_numeric_effect(std::uint64_t f) const {
        return constant_increase_effects.contains(f) || constant_assign_effects.contains(f) ||
               complex_numeric_effects.contains(f);
    }
    bool assigns(std::uint64_t f) const {
        return constant_assign_effects.contains(f) || complex_numeric_effects.contains(f);
    }
};

struct RelaxedTask {
    std::vector<Action> actions;
    HeuristicExpression goal_condition;
    HeuristicExpression idle_condition;
    // Sorted by action index; operators[i].id == i.
    std::vector<Operator> operators;
    // Per operator id.
    std::vector<std::vector<LoweredCondition>> lowered_conditions;
    ActionMap<std::uint64_t> event_counts;
    ActionMap<std::vector<Expression>> progress_atoms;
    std::vector<std::uint32_t> empty_precondition_operators;
    std::vector<LinearCondition> linear_conditions;
    std::vector<Expression> other_numeric_conditions;
    // Issued every handle above; nothing is interned after construction.
    ExpressionManager manager;
    bool inadmissible_numeric_heuristic_variant = false;
    bool disable_numeric_reasoning = false;
    RelaxationKind kind = RelaxationKind::HFF;
};

// Errors are thrown (Error / InternalError), as by the heuristic's constructor.
RelaxedTask build_relaxed_task(const std::vector<Action>& actions, const std::vector<std::string>& fluent_types,
                               const ObjectsByType& objects, const ActionEvents& events, const FlatExpr& goals,
                               bool inadmissible_numeric_heuristic_variant, bool disable_numeric_reasoning,
                               RelaxationKind kind);

}  // namespace quorvane::relaxation
