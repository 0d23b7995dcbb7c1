// Conditions and effect values prepared once for the states of one layout, so that the
// common forms are decided on the packed values without walking node lists.
//
// A form is prepared only for an expression whose every node the prepared form accounts
// for and that can never fail to evaluate over a state of that layout, except for
// arithmetic on fluents, which is checked as it is read: when a value is not an inline
// integer (an error for the evaluator, or a number beyond what the prepared form
// computes) the answer is "unknown" and the caller evaluates the expression in full.
// Any state of another layout is unknown too. The evaluator stays the one definition of
// a value and of every error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/expressions/node.hpp"
#include "engine/state/state.hpp"

namespace quorvane {

namespace compiled_detail {

// (word & mask) == expect over the state's words: one or more boolean fluents at once.
struct WordTest {
    std::uint32_t word = 0;
    std::uint64_t mask = 0;
    std::uint64_t expect = 0;
};

// sum(coefficient * x) + constant over fluents in cells, all integers.
struct Linear {
    std::vector<std::pair<std::uint32_t, std::int64_t>> terms;  // (cell word, coefficient)
    std::int64_t constant = 0;
};

// One test of a condition.
struct Literal {
    enum Kind : std::uint8_t {
        kBit,       // bit `a` equals `expect`
        kCellIs,    // the cell at word `a` holds `constant`
        kFluents,   // fluents `a` and `b` hold equal values
        kLinearLE,  // linear `a` <= 0
        kLinearLT,  // linear `a` < 0
    };
    Kind kind = kBit;
    bool negate = false;
    bool expect = true;
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    OwnedCell constant;
};

}  // namespace compiled_detail

// A condition: a conjunction of clauses, each a disjunction of literals.
class CompiledCondition {
  public:
    enum Result : std::int8_t { kFalse = 0, kTrue = 1, kUnknown = -1 };

    CompiledCondition() = default;
    // Prepares `expr` for states of `layout`; when it cannot, the result is not ready
    // and every state goes to the evaluator.
    static CompiledCondition compile(std::span<const ExpressionNode> expr, const LayoutPtr& layout);

    bool ready() const noexcept { return layout_ != nullptr; }
    // The condition's truth value over `state`, or kUnknown: evaluate it in full. A
    // condition with more than a few comparisons needs room for their outcomes, so this
    // may throw std::bad_alloc.
    Result eval(const State& state) const {
        if (&state.values.layout() != layout_.get()) return kUnknown;
        if (!linears_.empty()) return eval_with_linears(state);
        return decide(state, {});
    }

    // What the word tests tell of eval over the states of this form's layout.
    enum class RuledOut : std::uint8_t {
        kNever,     // nothing: failing a test would not settle it (not ready, or there are
                    // comparisons, which may still leave a state to the evaluator)
        kByTests,   // kFalse wherever one of the tests added fails
        kAlways,    // kFalse everywhere; no test added
    };
    RuledOut append_ruling_out_tests(std::vector<compiled_detail::WordTest>& out) const;

  private:
    // The constant, then the word tests, then the clauses; `signs` holds the outcome of
    // each comparison (2: below 0, 1: 0, 0: above).
    Result decide(const State& state, std::span<const std::int8_t> signs) const noexcept {
        if (constant_ >= 0) return static_cast<Result>(constant_);
        const std::uint64_t* w = state.values.words();
        for (const compiled_detail::WordTest& t : words_)
            if ((w[t.word] & t.mask) != t.expect) return kFalse;
        if (clauses_.empty()) return kTrue;
        return eval_clauses(state, signs);
    }
    Result eval_with_linears(const State& state) const;
    Result eval_clauses(const State& state, std::span<const std::int8_t> signs) const noexcept;
    bool literal(const compiled_detail::Literal& l, const State& state,
                 std::span<const std::int8_t> signs) const noexcept;

    friend class CompiledValue;
    friend struct ConditionBuilder;
    LayoutPtr layout_;
    std::int8_t constant_ = -1;  // 0 or 1: the same value in every state
    std::vector<compiled_detail::WordTest> words_;
    std::vector<std::vector<compiled_detail::Literal>> clauses_;
    std::vector<compiled_detail::Linear> linears_;
};

// An effect value: a constant, a copy of a fluent, an integer linear expression over
// fluents, or a condition's truth value.
class CompiledValue {
  public:
    CompiledValue() = default;
    static CompiledValue compile(std::span<const ExpressionNode> expr, const LayoutPtr& layout);

    bool ready() const noexcept { return layout_ != nullptr; }
    // Whether the value is the same constant over every state of the layout (then in `out`,
    // borrowed as from eval).
    bool constant(Cell& out) const noexcept {
        if (!ready() || kind_ != kConstant) return false;
        out = constant_.get();
        return true;
    }
    // The value over `parent` in `out` (borrowed: valid while `parent` and this form
    // live); false: evaluate it in full. May throw std::bad_alloc, as CompiledCondition::eval.
    bool eval(const State& parent, Cell& out) const;

  private:
    enum Kind : std::uint8_t { kConstant, kCopy, kLinear, kCondition };
    LayoutPtr layout_;
    Kind kind_ = kConstant;
    std::uint64_t fluent_ = 0;  // kCopy
    OwnedCell constant_;        // kConstant
    compiled_detail::Linear linear_;
    CompiledCondition condition_;
};

}  // namespace quorvane
