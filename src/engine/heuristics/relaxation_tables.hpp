// The compiled tables of hff, hadd and hmax.
//
// The relaxed task (relaxed_task.cpp) is built once and then compiled
// into flat tables that every copy of the heuristic shares, immutable: operators as
// rows, their precondition leaves, add effects and lowered linear conditions in pools,
// an index from each handle to the operators that need it, the atoms a state's values
// stand for. An evaluation needs nothing else from the task, and writes only into
// working tables of its own (a Workspace), which a heuristic keeps between evaluations
// so that an evaluation allocates nothing once they have grown to the task.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/heuristics/relaxed_task.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/task/actions.hpp"

// Internal to the heuristics folder.
namespace quorvane::heuristics_detail {

using relaxation::HeuristicExpression;
using relaxation::HNode;
using relaxation::LinearCondition;
using relaxation::LoweredCondition;
using relaxation::RelaxedTask;

constexpr double kHighestFinite = std::numeric_limits<double>::max();
// Absent costs are NaN: no cost that propagation produces can be NaN (offers that
// would be are dropped), and NaN never compares lower than anything.
constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
inline bool present(double c) noexcept { return !std::isnan(c); }
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// Every operator costs 1 (checked when the task is compiled).
constexpr double kOperatorCost = 1.0;
// The awaited count of an operator whose precondition holds a disjunction: costed again
// whenever a leaf comes.
constexpr std::uint32_t kCostAgain = kNone;
// Below this, sums of integral doubles are exact in any order.
constexpr double kExactSums = 9007199254740992.0;  // 2^53


// A condition in postfix form, one 32-bit code per entry: the kind in the top two bits,
// the operand count or the leaf's handle below.
using Code = std::uint32_t;
constexpr Code kLeafCode = 0;
constexpr Code kAndCode = Code{1} << 30;
constexpr Code kOrCode = Code{2} << 30;
constexpr Code kKindMask = Code{3} << 30;
constexpr Code kPayloadMask = ~kKindMask;

struct Condition {
    std::uint32_t code, length;        // entries in code_pool
    std::uint32_t leaves, leaf_count;  // leaf occurrences in leaf_pool, in entry order
    // Holds an Or: costed again whenever a leaf is reached. Without one every leaf is
    // needed, and the cost is known once the last of them is.
    bool disjunction;
    bool has_disjunction;  // the condition's own flag; decides how hff collects leaves
    // Its leaves and then one And over all of them (or a lone leaf): costed by a fold
    // over the leaves, without the interpreter's stack.
    bool flat;
};
static_assert(sizeof(Condition) == 20);

// What applying an operator offers; its precondition is in CompiledTask::preconditions.
struct OperatorRow {
    std::uint32_t adds, add_count;         // add effects that matter, in leaf_pool
    std::uint32_t lowered, lowered_count;  // in lowered_pool
};
static_assert(sizeof(OperatorRow) == 16);

struct LoweredRow {
    double change;          // the negative change d (unused when `assigned` decides)
    std::uint32_t linear;   // position in RelaxedTask::linear_conditions
    std::uint32_t handle;   // the linear condition's handle
    bool assigned;          // some fluent is assigned or changed by a complex effect
};
static_assert(sizeof(LoweredRow) == 24);

// One action with events, in the order step 6 of an evaluation visits them.
struct ProgressRow {
    Action action;
    std::uint64_t event_count;
    std::uint32_t atoms, atom_count;  // progress atoms in leaf_pool (none: not listed in `actions`)
    std::uint32_t idle;               // the last of them, the idle atom
    std::uint32_t operator_count;     // operators of the action
};
static_assert(sizeof(ProgressRow) == 32);

// The atom of fluent f having a value that is neither true nor false.
struct ValueAtomKey {
    std::uint64_t fluent;
    ExpressionNode value;
};
struct ValueAtomView {
    std::uint64_t fluent;
    const ExpressionNode* value;
};
struct ValueAtomHash {
    using is_transparent = void;
    static std::size_t hash(std::uint64_t f, const ExpressionNode& v) noexcept {
        support::FxHasher h;
        h.add(f);
        v.hash_into(h);
        return h.finish();
    }
    std::size_t operator()(const ValueAtomKey& k) const noexcept { return hash(k.fluent, k.value); }
    std::size_t operator()(const ValueAtomView& k) const noexcept { return hash(k.fluent, *k.value); }
};
struct ValueAtomEq {
    using is_transparent = void;
    bool operator()(const ValueAtomKey& a, const ValueAtomKey& b) const noexcept {
        return a.fluent == b.fluent && a.value == b.value;
    }
    bool operator()(const ValueAtomKey& a, const ValueAtomView& b) const noexcept {
        return a.fluent == b.fluent && a.value == *b.value;
    }
    bool operator()(const ValueAtomView& a, const ValueAtomKey& b) const noexcept { return (*this)(b, a); }
};

// The atoms that construction interned for facts about fluent values, so that the atom
// of a state's value is looked up, never interned: an atom issued after construction
// is in no precondition, goal or effect, and its cost could matter to nothing.
struct AtomTable {
    std::vector<std::uint32_t> if_true, if_false;  // by fluent; kNone when never interned
    boost::unordered_flat_map<ValueAtomKey, std::uint32_t, ValueAtomHash, ValueAtomEq> others;

    // Fluents at or beyond `dense` (an odd task: indices far beyond its fluents) keep
    // their true and false atoms in `others` as well, under the values true and false.
    std::size_t dense = 0;

    std::uint32_t atom(std::uint64_t f, const ExpressionNode& v) const {
        if (v.kind() == NodeKind::Bool && f < dense) return v.as_bool() ? if_true[f] : if_false[f];
        auto it = others.find(ValueAtomView{f, &v});
        return it == others.end() ? kNone : it->second;
    }
};

// Everything an evaluation reads, built once from the relaxed task and shared by every
// copy of the heuristic.
struct CompiledTask {
    RelaxedTask task;
    std::uint32_t handles = 0;
    std::vector<OperatorRow> operators;
    std::vector<Condition> preconditions;  // per operator
    // Per operator: the leaves the search waits for, or kCostAgain.
    std::vector<std::uint32_t> awaited;
    std::vector<std::uint32_t> operator_slot;  // the operator's action, numbered densely
    Condition goal{}, idle{};
    std::vector<Code> code_pool;
    std::vector<std::uint32_t> leaf_pool;  // precondition leaves, add effects, progress atoms
    std::vector<LoweredRow> lowered_pool;
    // The operators whose precondition holds handle h as a leaf, once per occurrence,
    // ascending: index_ids[index_offsets[h] .. index_offsets[h + 1]).
    std::vector<std::uint32_t> index_offsets;
    std::vector<std::uint32_t> index_ids;
    std::vector<ProgressRow> progress;  // by slot
    relaxation::ActionMap<std::uint32_t> slot_of;
    std::vector<std::uint32_t> slots_by_action;  // slots in increasing action order
    // Linear conditions that some operator can lower (by handle, each once).
    std::vector<std::uint32_t> lowerable;
    AtomTable atoms;
    // The progress atoms of actions with one event: every state puts them at 0 (idle or
    // running, such an action stands at its one progress atom), so a workspace keeps
    // them at 0 for good and the search never waits for them.
    std::vector<std::uint32_t> static_zero;
    // Operators with such a leaf: all of the first round's batch (rounds); and of them,
    // those the search must cost at once (no other leaf to wait for, or a disjunction).
    std::vector<std::uint32_t> static_operators, initial_operators;
    // The slots whose progress atom a state decides (not one static atom), in order.
    std::vector<std::uint32_t> dynamic_slots;
    // The leaves the value is read from (the goal's; with hadd and hmax the idle
    // condition's too), by handle, and how many distinct ones there are; none marked
    // when the search must not stop once they are final (see `Evaluation::propagate`).
    std::vector<std::uint8_t> target;
    std::uint32_t targets = 0;
    bool may_stop_early = false;

    explicit CompiledTask(RelaxedTask t);

  private:
    Condition compile(const HeuristicExpression& c);
    // The steps of construction, in order.
    void number_slots();
    void compile_conditions();
    void mark_relevant_and_static(std::vector<bool>& relevant, std::vector<bool>& is_static);
    void compile_operators(const std::vector<bool>& relevant, const std::vector<bool>& is_static,
                           std::vector<std::uint32_t>& counts);
    void aim_targets(const std::vector<bool>& is_static);
    void index_operators(const std::vector<bool>& is_static, std::vector<std::uint32_t>& counts);
    void intern_value_atoms(const std::vector<bool>& relevant, const std::vector<bool>& is_static);
};

}  // namespace quorvane::heuristics_detail
