// Short names for building expression nodes in the engine tests (test_nodes), and the
// helpers that several test files share: texts, assignments, expected errors and random
// expressions for the expression tests (test_expressions); the events of small tasks and
// the reading of their networks for the search-space tests (test_tasks).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/node.hpp"
#include "engine/state/state.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/number.hpp"
#include "engine/task/actions.hpp"

namespace quorvane::test_nodes {

inline ExpressionNode B(bool v) { return ExpressionNode::boolean(v); }
inline ExpressionNode I(std::int64_t v) { return ExpressionNode::integer(Integer(v)); }
inline ExpressionNode R(std::int64_t n, std::int64_t d) {
    return ExpressionNode::rational(Rational(Integer(n), Integer(d)));
}
inline ExpressionNode F(std::uint64_t f) { return ExpressionNode::fluent(f); }
inline ExpressionNode O(std::string name) { return ExpressionNode::object(std::move(name)); }
inline ExpressionNode Op(std::string_view kind, std::vector<NodeIndex> operands) {
    return make_operator(kind, std::move(operands));
}

// `e` with `depth` more levels of one operator around its root, each keeping the root's
// value: `kind` is "not" (two negations cancel out), "and" (with true), "or" (with
// false), "+" or "-" (with 0), "*" or "/" (with 1).
inline FlatExpr nested(FlatExpr e, std::string_view kind, std::size_t depth) {
    const bool by_one = kind == "*" || kind == "/";
    const ExpressionNode neutral = kind == "and" ? B(true) : kind == "or" ? B(false) : by_one ? I(1) : I(0);
    e.reserve(e.size() + 2 * depth);
    for (std::size_t level = 0; level < depth; ++level) {
        const NodeIndex root = e.size() - 1;
        if (kind == "not") {
            e.push_back(Op(kind, {root}));
            continue;
        }
        e.push_back(neutral);
        e.push_back(Op(kind, {root, root + 1}));
    }
    return e;
}

// `left` compared with `right` by `kind` ("<", "<=" or "=="): left's nodes, then the
// constant, then the comparison.
inline FlatExpr compared(FlatExpr left, std::string_view kind, ExpressionNode right) {
    const NodeIndex root = left.size() - 1;
    left.push_back(std::move(right));
    left.push_back(Op(kind, {root, root + 1}));
    return left;
}

}  // namespace quorvane::test_nodes

namespace quorvane::test_expressions {

using test_nodes::B;
using test_nodes::F;
using test_nodes::I;
using test_nodes::O;
using test_nodes::Op;
using test_nodes::R;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

inline std::string text(std::span<const ExpressionNode> e) { return debug_text(e); }
inline std::string text(const std::vector<FlatExpr>& parts) {
    std::string out = "[";
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? ", " : "") + debug_text(parts[i]);
    return out + "]";
}

inline FluentAssignments assign(std::vector<std::pair<std::uint64_t, ExpressionNode>> values) {
    FluentAssignments a;
    for (auto& [f, v] : values) a.assign(f, std::move(v));
    return a;
}

// Runs f, which must throw Error of `kind` with exactly `message`.
inline void expect_error(const std::function<void()>& f, ErrorKind kind, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "no error raised, expected: " << message;
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), kind) << e.what();
        EXPECT_EQ(std::string(e.what()), message);
    }
}

// Post-order well-formedness: every operand names an earlier node.
inline bool operands_in_range(std::span<const ExpressionNode> e) {
    for (std::size_t i = 0; i < e.size(); ++i)
        for (NodeIndex op : e[i].operands())
            if (op >= i) return false;
    return true;
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

}  // namespace quorvane::test_expressions

namespace quorvane::test_tasks {

inline FlatExpr fluent_expr(std::uint64_t f) { return {ExpressionNode::fluent(f)}; }
inline FlatExpr true_expr() { return {ExpressionNode::boolean(true)}; }

struct EventShape {
    std::vector<std::uint64_t> reads = {};  // fluents of the condition
    std::vector<std::uint64_t> writes = {};  // fluents assigned (value: a constant)
    std::vector<std::uint64_t> opens = {};  // fluents of start conditions
    std::vector<std::uint64_t> closes = {};  // fluents of end conditions
};

inline Event make_event(Action a, std::uint64_t pos, const EventShape& shape) {
    Event e;
    e.action = a;
    e.pos = pos;
    if (shape.reads.empty()) e.conditions = true_expr();
    for (std::uint64_t f : shape.reads) e.conditions.push_back(ExpressionNode::fluent(f));
    for (std::uint64_t f : shape.writes) e.effects.push_back(Effect{f, {ExpressionNode::integer(Integer(1))}});
    for (std::uint64_t f : shape.opens) e.start_conditions.push_back(fluent_expr(f));
    for (std::uint64_t f : shape.closes) e.end_conditions.push_back(fluent_expr(f));
    return e;
}

inline std::vector<TimedEvent> timed(Action a, std::size_t n) {
    std::vector<TimedEvent> out;
    for (std::size_t k = 0; k < n; ++k) out.emplace_back(Timing{true, Rational(0)}, make_event(a, k, {}));
    return out;
}

inline ExpressionNode int_node(std::int64_t v) { return ExpressionNode::integer(Integer(v)); }

using Edges = std::vector<std::pair<std::uint64_t, double>>;

// The outgoing edges of `point`, newest first.
inline Edges edges_of(const FloatNetwork& net, std::uint64_t point) { return net.out_edges(point); }

inline double time_of(const FloatNetwork& net, std::uint64_t point) { return -net.potential(point).value(); }

// The event at `pos` of action `action`, with plain conditions and the given effects.
inline Event make_event(std::uint64_t action, std::uint64_t pos, FlatExpr conditions, std::vector<Effect> effects) {
    Event e;
    e.action = Action{action};
    e.pos = pos;
    e.conditions = std::move(conditions);
    e.effects = std::move(effects);
    return e;
}

}  // namespace quorvane::test_tasks
