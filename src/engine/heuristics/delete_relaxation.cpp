// hff, hadd and hmax over the delete relaxation: evaluation.
//
// The relaxed task (relaxed_task.cpp) is built once and then compiled
// into flat tables that every copy of the heuristic shares, immutable: operators as
// rows, their precondition leaves, add effects and lowered linear conditions in pools,
// an index from each handle to the operators that need it, the atoms a state's values
// stand for. An evaluation needs nothing else from the task, and writes only into
// working tables of its own (a Workspace), which a heuristic keeps between evaluations
// so that an evaluation allocates nothing once they have grown to the task.
//
// Costs are propagated by a generalised Dijkstra search over handles: a handle's cost
// is final when it leaves the priority queue; an operator whose precondition is a
// conjunction counts down its unreached leaves and is applied once, when the last one
// is reached; an operator whose precondition holds a disjunction is costed again over
// the reached leaves whenever one of its leaves is reached. For the one case where the
// order in which offers are made decides a result, hmax offers for linear conditions
// (and hff best supporters of a linear condition reached at cost 0), the evaluation
// keeps propagating in rounds, as the relaxation was first defined. Why both give the
// same costs and supporters is set out above `Evaluation::propagate`.
#include "engine/heuristics/delete_relaxation.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/support/errors.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/heuristics/value_cache.hpp"
#include "engine/heuristics/relaxed_task.hpp"
#include "engine/support/cost_queue.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/id_stack.hpp"
#include "engine/support/workspace_pool.hpp"
#include "engine/expressions/expression_manager.hpp"

namespace quorvane {

namespace {

using relaxation::HeuristicExpression;
using relaxation::HNode;
using relaxation::LinearCondition;
using relaxation::LoweredCondition;
using relaxation::RelaxedTask;
using support::CostQueue;
using support::IdStack;

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

// ---------------------------------------------------------------------------
// Compiled tables.

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

std::uint32_t narrow(std::size_t v, const char* what) {
    QV_REQUIRE(v < kNone, what);
    return static_cast<std::uint32_t>(v);
}

Condition CompiledTask::compile(const HeuristicExpression& c) {
    Condition out{};
    out.code = narrow(code_pool.size(), "relaxed task too large");
    out.leaves = narrow(leaf_pool.size(), "relaxed task too large");
    out.has_disjunction = c.has_disjunction;
    out.disjunction = false;
    for (const HNode& e : c.entries) {
        QV_REQUIRE(e.value <= kPayloadMask, "relaxed task too large");
        switch (e.kind) {
            case HNode::Kind::Leaf:
                code_pool.push_back(kLeafCode | static_cast<Code>(e.value));
                leaf_pool.push_back(static_cast<std::uint32_t>(e.value));
                break;
            case HNode::Kind::And:
                code_pool.push_back(kAndCode | static_cast<Code>(e.value));
                break;
            case HNode::Kind::Or:
                code_pool.push_back(kOrCode | static_cast<Code>(e.value));
                out.disjunction = true;
                break;
        }
    }
    out.length = narrow(code_pool.size() - out.code, "relaxed task too large");
    out.leaf_count = narrow(leaf_pool.size() - out.leaves, "relaxed task too large");
    return out;
}

CompiledTask::CompiledTask(RelaxedTask t) : task(std::move(t)) {
    handles = narrow(task.manager.size(), "relaxed task too large");
    QV_REQUIRE(task.manager.size() <= kPayloadMask, "relaxed task too large");
    number_slots();
    compile_conditions();
    std::vector<bool> relevant(handles, false), is_static(handles, false);
    mark_relevant_and_static(relevant, is_static);
    std::vector<std::uint32_t> counts(std::size_t{handles} + 1, 0);
    compile_operators(relevant, is_static, counts);
    aim_targets(is_static);
    index_operators(is_static, counts);
    intern_value_atoms(relevant, is_static);
}

// Slots: the actions with events, in the order their progress atoms are set.
void CompiledTask::number_slots() {
    for (const auto& [a, count] : task.event_counts) {
        ProgressRow row{a, count, narrow(leaf_pool.size(), "relaxed task too large"), 0, kNone, 0};
        if (auto atoms = task.progress_atoms.find(a); atoms != task.progress_atoms.end()) {
            for (Expression h : atoms->second) leaf_pool.push_back(narrow(h.index, "relaxed task too large"));
            row.atom_count = narrow(atoms->second.size(), "relaxed task too large");
            if (row.atom_count != 0) row.idle = leaf_pool.back();
        }
        slot_of.emplace(a, narrow(progress.size(), "relaxed task too large"));
        progress.push_back(row);
    }
    slots_by_action.resize(progress.size());
    for (std::uint32_t i = 0; i < slots_by_action.size(); ++i) slots_by_action[i] = i;
    std::sort(slots_by_action.begin(), slots_by_action.end(),
              [this](std::uint32_t x, std::uint32_t y) { return progress[x].action < progress[y].action; });
}

void CompiledTask::compile_conditions() {
    QV_REQUIRE(task.lowered_conditions.size() == task.operators.size(), "lowered conditions out of step");
    preconditions.reserve(task.operators.size());
    for (const relaxation::Operator& op : task.operators) {
        QV_REQUIRE(op.id == preconditions.size(), "operators out of order");
        QV_REQUIRE(op.cost == kOperatorCost, "an operator whose cost is not 1");
        preconditions.push_back(compile(op.precondition));
    }
    goal = compile(task.goal_condition);
    idle = compile(task.idle_condition);
}

// Only the leaves of conditions are ever read: offers to and seeds of any other
// handle could change nothing that is. Static atoms are the progress atoms that
// every state puts at 0 (see `static_zero`).
void CompiledTask::mark_relevant_and_static(std::vector<bool>& relevant, std::vector<bool>& is_static) {
    auto mark = [&](const Condition& c) {
        for (std::uint32_t i = c.leaves; i < c.leaves + c.leaf_count; ++i) relevant[leaf_pool[i]] = true;
    };
    for (const Condition& c : preconditions) mark(c);
    mark(goal);
    mark(idle);
    for (std::uint32_t slot = 0; slot < progress.size(); ++slot) {
        const ProgressRow& row = progress[slot];
        if (row.atom_count != 1) {
            dynamic_slots.push_back(slot);
        } else if (!is_static[row.idle]) {
            is_static[row.idle] = true;
            static_zero.push_back(row.idle);
        }
    }
}

// The operators' rows, with the add effects that can matter and the lowered
// conditions; `counts[h + 1]` comes out as the number of operators that await leaf h.
void CompiledTask::compile_operators(const std::vector<bool>& relevant, const std::vector<bool>& is_static,
                                     std::vector<std::uint32_t>& counts) {
    operators.reserve(task.operators.size());
    operator_slot.reserve(task.operators.size());
    std::vector<bool> is_lowerable(task.linear_conditions.size(), false);
    for (const relaxation::Operator& op : task.operators) {
        const Condition& pre = preconditions[op.id];
        OperatorRow row{};
        bool has_static = false;
        std::uint32_t awaited_leaves = 0;  // the leaves the search must reach
        for (std::uint32_t i = pre.leaves; i < pre.leaves + pre.leaf_count; ++i) {
            if (is_static[leaf_pool[i]]) {
                has_static = true;
            } else {
                ++awaited_leaves;
                ++counts[leaf_pool[i] + 1];
            }
        }
        if (has_static) static_operators.push_back(op.id);
        if (pre.length != 0 && (has_static && (awaited_leaves == 0 || pre.disjunction)))
            initial_operators.push_back(op.id);
        row.adds = narrow(leaf_pool.size(), "relaxed task too large");
        for (Expression a : op.add_effects) {
            const std::uint32_t h = narrow(a.index, "relaxed task too large");
            QV_REQUIRE(h < handles, "an add effect from another manager");
            // An offer to a static atom is never below its 0.
            if (relevant[h] && !is_static[h]) leaf_pool.push_back(h);
        }
        row.add_count = narrow(leaf_pool.size() - row.adds, "relaxed task too large");
        row.lowered = narrow(lowered_pool.size(), "relaxed task too large");
        for (const LoweredCondition& low : task.lowered_conditions[op.id]) {
            QV_REQUIRE(low.linear < task.linear_conditions.size(), "a lowered condition that is not linear");
            const std::uint32_t h = narrow(task.linear_conditions[low.linear].handle.index, "relaxed task too large");
            lowered_pool.push_back(LoweredRow{low.change, low.linear, h, low.assigned});
            is_lowerable[low.linear] = true;
        }
        row.lowered_count = narrow(task.lowered_conditions[op.id].size(), "relaxed task too large");
        auto slot = slot_of.find(op.action);
        QV_REQUIRE(slot != slot_of.end(), "an operator of an action without events");
        operator_slot.push_back(slot->second);
        ++progress[slot->second].operator_count;
        awaited.push_back(pre.disjunction ? kCostAgain : awaited_leaves);
        operators.push_back(row);
    }
    for (std::size_t l = 0; l < is_lowerable.size(); ++l)
        if (is_lowerable[l]) lowerable.push_back(static_cast<std::uint32_t>(task.linear_conditions[l].handle.index));
}

void CompiledTask::aim_targets(const std::vector<bool>& is_static) {
    // Stopping early: no operator lowers a linear condition (their offers read the
    // state's numbers, which may fail), and the conditions the value is read from are
    // conjunctions.
    target.assign(handles, 0);
    const bool value_and_idle = task.kind != RelaxationKind::HFF;
    may_stop_early = lowered_pool.empty() && goal.length != 0 && !goal.disjunction &&
                     !goal.has_disjunction &&
                     (!value_and_idle || (idle.length != 0 && !idle.disjunction && !idle.has_disjunction));
    if (may_stop_early) {
        auto aim = [&](const Condition& c) {
            for (std::uint32_t i = c.leaves; i < c.leaves + c.leaf_count; ++i) {
                const std::uint32_t h = leaf_pool[i];
                if (!is_static[h] && !target[h]) {
                    target[h] = 1;
                    ++targets;
                }
            }
        };
        aim(goal);
        if (value_and_idle) aim(idle);
    }
}

// The operators that await each leaf, from the counts `compile_operators` made.
void CompiledTask::index_operators(const std::vector<bool>& is_static, std::vector<std::uint32_t>& counts) {
    for (std::size_t h = 0; h < handles; ++h) counts[h + 1] += counts[h];
    index_offsets = counts;
    index_ids.resize(counts[handles]);
    // Operators are visited in id order, so every list comes out ascending.
    for (std::uint32_t id = 0; id < operators.size(); ++id) {
        const Condition& pre = preconditions[id];
        for (std::uint32_t i = pre.leaves; i < pre.leaves + pre.leaf_count; ++i)
            if (!is_static[leaf_pool[i]]) index_ids[counts[leaf_pool[i]]++] = id;
    }
}

void CompiledTask::intern_value_atoms(const std::vector<bool>& relevant, const std::vector<bool>& is_static) {
    // The atoms of fluent values that construction interned, in the form an evaluation
    // would intern them: [f], [f, not 0], [f, v, == 0 1].
    // True and false atoms sit in arrays by fluent, up to the largest fluent that has
    // one, unless that index is far beyond anything the task could have made.
    const ExpressionManager& m = task.manager;
    const ExpressionNode negation = make_operator("not", {0});
    const ExpressionNode equality = make_operator("==", {0, 1});
    const std::uint64_t cap = 16 * std::uint64_t{handles} + 4096;
    std::uint64_t largest = 0;
    for (std::uint32_t h = 0; h < handles; ++h) {
        const FlatExpr& n = m.exprs()[h];
        if (relevant[h] && !is_static[h] && !n.empty() && n.size() <= 2 && n[0].kind() == NodeKind::Fluent &&
            n[0].fluent_index() < cap)
            largest = std::max(largest, n[0].fluent_index() + 1);
    }
    atoms.dense = static_cast<std::size_t>(largest);
    atoms.if_true.assign(atoms.dense, kNone);
    atoms.if_false.assign(atoms.dense, kNone);
    for (std::uint32_t h = 0; h < handles; ++h) {
        const FlatExpr& n = m.exprs()[h];
        // A static atom is at 0 whatever the state says.
        if (!relevant[h] || is_static[h] || n.empty() || n.size() > 3 || n[0].kind() != NodeKind::Fluent) continue;
        const std::uint64_t f = n[0].fluent_index();
        auto put = [&](bool value, std::uint32_t handle) {
            if (f < atoms.dense) (value ? atoms.if_true : atoms.if_false)[f] = handle;
            else atoms.others.emplace(ValueAtomKey{f, ExpressionNode::boolean(value)}, handle);
        };
        if (n.size() == 1) {
            put(true, h);
        } else if (n.size() == 2) {
            if (n[1] == negation) put(false, h);
        } else if (n[2] == equality && (n[1].is_number() || n[1].kind() == NodeKind::Object)) {
            atoms.others.emplace(ValueAtomKey{f, n[1]}, h);
        }
    }
}

// ---------------------------------------------------------------------------
// Reading the state. Evaluation reads a State through these four functions alone.

// visit(handle) for the atom of every fluent's value in `state` that construction made.
// Boolean values are read from their cells; a value is built as a node only when some
// atom could hold it.
template <class Visit>
void for_each_value_atom(const AtomTable& atoms, const State& state, Visit&& visit) {
    const bool others = !atoms.others.empty();
    for (std::uint64_t f = 0, n = state.values.size(); f < n; ++f) {
        const Cell c = state.values.cell(f);
        std::uint32_t h = kNone;
        if (c.is_bool() && f < atoms.dense) h = c.is_true() ? atoms.if_true[f] : atoms.if_false[f];
        else if (others) h = atoms.atom(f, c.decode());
        if (h != kNone) visit(h);
    }
}

// The value of fluent f as the nearest double; ValueError "Expected a number!" when it
// holds no number.
double numeric_value(const State& state, std::uint64_t f) {
    const ExpressionNode& x = state.fluent_value(f);
    if (x.kind() == NodeKind::Int) return x.as_int().to_double();
    if (x.kind() == NodeKind::Rational) return x.as_rational().to_double();
    return get_rational_from_expression_node(x).to_double();  // raises "Expected a number!"
}

// Whether a condition holds in `state`; evaluation errors pass up.
bool holds(std::span<const ExpressionNode> condition, const State& state) {
    return internal_evaluate(condition, state).is_true();
}

// visit(action, index of its next event) for every running action, in the state's order.
template <class Visit>
void for_each_running(const State& state, Visit&& visit) {
    for (const auto& [a, entry] : state.todo) visit(a, entry.next_event);
}

// ---------------------------------------------------------------------------
// Working tables.

// An operator's leaves still to come in this evaluation, and the sum (hmax: the
// maximum) of the costs of those that came.
struct Countdown {
    double sum;
    std::uint32_t generation;
    std::uint32_t remaining;
};
static_assert(sizeof(Countdown) == 16);

// The working tables of one evaluation at a time. Indexed densely by handle, operator
// or slot; whatever an evaluation sets is either remembered in a touched list or
// stamped with the evaluation's generation, and undone by the next one, so an
// evaluation that ended with an error half way leaves nothing behind.
struct Workspace {
    std::vector<double> cost;               // by handle: final (or round-start) costs
    std::vector<double> tent;               // by handle: tentative costs / round improvements
    std::vector<std::uint32_t> supporter;   // by handle (hff): best supporter + 1, 0 for none
    std::vector<std::uint32_t> seen;        // by handle: generation (hff relaxed plan)
    IdStack touched;                        // handles with an entry in cost, tent or supporter
    std::vector<double> op_cost;            // by operator
    std::vector<Countdown> countdown;       // by operator
    IdStack op_touched;
    std::vector<double> linear_value;       // by linear condition
    std::vector<std::uint32_t> linear_seen;  // generation
    std::vector<std::uint64_t> running;     // by slot: next event
    std::vector<std::uint32_t> running_seen;  // generation
    std::vector<std::uint32_t> used;        // by slot: generation (hff relaxed plan)
    CostQueue queue;
    // Rounds.
    std::vector<std::uint32_t> frontier, next_frontier, batch, batch_round;
    std::vector<std::vector<std::uint32_t>> achievers;  // by linear condition (hmax)
    std::vector<std::uint32_t> achievers_touched;
    std::uint32_t round = 0;
    // Condition interpreters and the relaxed plan.
    std::vector<double> cost_stack;
    std::vector<std::pair<double, std::size_t>> leaf_stack;
    std::vector<std::uint32_t> leaves, work;
    // The progress part of a value-cache key.
    std::vector<std::uint64_t> progress;
    std::uint32_t generation = 0;
    const CompiledTask* sized_for = nullptr;

    // Undoes the previous evaluation and makes room for `t`.
    void begin(const CompiledTask& t) {
        for (std::uint32_t h : touched) {
            cost[h] = kAbsent;
            tent[h] = kAbsent;
            supporter[h] = 0;
        }
        touched.clear();
        for (std::uint32_t o : op_touched) op_cost[o] = kAbsent;
        op_touched.clear();
        for (std::uint32_t l : achievers_touched) achievers[l].clear();
        achievers_touched.clear();
        frontier.clear();
        next_frontier.clear();
        queue.clear();
        if (sized_for != &t) {
            // Marked sized only once every table is: a sizing that ran out of memory is
            // done again by the next evaluation.
            sized_for = nullptr;
            cost.assign(t.handles, kAbsent);
            tent.assign(t.handles, kAbsent);
            supporter.assign(t.handles, 0);
            seen.assign(t.handles, 0);
            op_cost.assign(t.operators.size(), kAbsent);
            countdown.assign(t.operators.size(), Countdown{0.0, 0, 0});
            batch_round.assign(t.operators.size(), 0);
            linear_value.assign(t.task.linear_conditions.size(), 0.0);
            linear_seen.assign(t.task.linear_conditions.size(), 0);
            achievers.resize(t.task.linear_conditions.size());
            running.assign(t.progress.size(), 0);
            running_seen.assign(t.progress.size(), 0);
            used.assign(t.progress.size(), 0);
            for (std::uint32_t h : t.static_zero) cost[h] = tent[h] = 0.0;
            generation = 0;
            sized_for = &t;
        }
        if (++generation == 0) {
            std::fill(seen.begin(), seen.end(), 0);
            for (Countdown& c : countdown) c.generation = 0;
            std::fill(linear_seen.begin(), linear_seen.end(), 0);
            std::fill(running_seen.begin(), running_seen.end(), 0);
            std::fill(used.begin(), used.end(), 0);
            generation = 1;
        }
    }

    std::uint32_t next_round() {
        if (++round == 0) {
            std::fill(batch_round.begin(), batch_round.end(), 0);
            round = 1;
        }
        return round;
    }
};

// The workspaces a heuristic keeps, and one taken for an evaluation.
using WorkspacePool = support::WorkspacePool<Workspace>;
using Lease = support::Lease<Workspace>;

// The change per application, recomputed the way construction decided the pair, so
// that a table that went out of step is caught rather than used.
double repetitions(const LoweredRow& low, double value, bool inadmissible) {
    if (value <= 0) return 0.0;
    if (!inadmissible && low.assigned) return 1.0;
    QV_REQUIRE(low.change < 0, "a lowered condition whose change is not negative");
    return std::ceil(-value / low.change);
}

// ---------------------------------------------------------------------------
// One evaluation.

class Evaluation {
  public:
    Evaluation(const CompiledTask& t, Workspace& w, const State& state)
        : t_(t), w_(w), state_(state), kind_(t.task.kind) {}

    // The heuristic value, or with `reachable` the ids of the operators that got a
    // precondition cost (ascending) and no value.
    std::optional<double> run(std::vector<std::uint32_t>* reachable);

  private:
    void seed();
    template <RelaxationKind K>
    class Search;
    template <RelaxationKind K>
    bool propagate(bool stop_early);
    void propagate_in_rounds();
    void offer_in_round(std::uint32_t h, double v, std::uint32_t id);
    double cost(const Condition& c);
    double precondition_cost(std::uint32_t id);
    void hff_leaves(const Condition& c, std::vector<std::uint32_t>& out);
    double linear_value(std::uint32_t linear);
    double relaxed_plan_value(double g);

    const CompiledTask& t_;
    Workspace& w_;
    const State& state_;
    RelaxationKind kind_;
};

// The cost of a condition over the cost table, unreached leaves absent. An And adds its
// operands from the top of the stack down (hmax: takes their maximum), an Or takes the
// cheapest present operand below the largest finite double.
double Evaluation::cost(const Condition& c) {
    QV_REQUIRE(c.length != 0, "the cost of a condition without entries");
    const Code* code = t_.code_pool.data() + c.code;
    const Code last = code[c.length - 1];
    if ((last & kKindMask) == kLeafCode) return w_.cost[last];
    auto& stack = w_.cost_stack;
    stack.clear();
    const bool maximum = kind_ == RelaxationKind::HMAX;
    for (std::uint32_t i = 0; i < c.length; ++i) {
        const Code e = code[i];
        const std::uint32_t n = e & kPayloadMask;
        switch (e & kKindMask) {
            case kLeafCode: stack.push_back(w_.cost[n]); break;
            case kAndCode: {
                QV_REQUIRE(n <= stack.size(), "a condition pops more entries than it pushed");
                double r = 0.0;
                bool absent = false;
                for (std::uint32_t k = 0; k < n; ++k) {
                    const double x = stack.back();
                    stack.pop_back();
                    if (!present(x)) absent = true;
                    else if (!absent) r = maximum ? std::max(r, x) : r + x;
                }
                stack.push_back(absent ? kAbsent : r);
                break;
            }
            default: {
                QV_REQUIRE(n <= stack.size(), "a condition pops more entries than it pushed");
                double r = kHighestFinite;
                for (std::uint32_t k = 0; k < n; ++k) {
                    const double x = stack.back();
                    stack.pop_back();
                    if (present(x)) r = std::min(r, x);
                }
                stack.push_back(r == kHighestFinite ? kAbsent : r);
                break;
            }
        }
    }
    QV_REQUIRE(stack.size() == 1, "a condition that leaves other than one value");
    return stack.back();
}

double Evaluation::precondition_cost(std::uint32_t id) {
    QV_REQUIRE(id < t_.operators.size(), "an operator id without an operator");
    return cost(t_.preconditions[id]);
}

// The atoms a relaxed plan must reach for a condition: every leaf of a condition
// without disjunctions; otherwise, of each Or, the cheapest operand (the later one on
// ties), the costs of And operands added whatever the kind.
void Evaluation::hff_leaves(const Condition& c, std::vector<std::uint32_t>& out) {
    if (!c.has_disjunction) {
        out.insert(out.end(), t_.leaf_pool.begin() + c.leaves, t_.leaf_pool.begin() + c.leaves + c.leaf_count);
        return;
    }
    // Each stack entry owns the handles from its start to the next entry's start in one
    // shared buffer; operands of one operator are neighbours, so joining is free.
    auto& stack = w_.leaf_stack;
    stack.clear();
    const std::size_t base = out.size();
    const Code* code = t_.code_pool.data() + c.code;
    for (std::uint32_t i = 0; i < c.length; ++i) {
        const Code e = code[i];
        const std::uint32_t n = e & kPayloadMask;
        if ((e & kKindMask) == kLeafCode) {
            stack.emplace_back(w_.cost[n], out.size());
            out.push_back(n);
            continue;
        }
        QV_REQUIRE(n <= stack.size(), "a condition pops more entries than it pushed");
        const std::size_t lowest = n == 0 ? out.size() : stack[stack.size() - n].second;
        auto end_of = [&](std::size_t k) { return k + 1 < stack.size() ? stack[k + 1].second : out.size(); };
        if ((e & kKindMask) == kAndCode) {
            double sum = 0.0;
            bool absent = false;
            for (std::size_t k = stack.size(); k-- > stack.size() - n;) {
                if (!present(stack[k].first)) absent = true;
                else sum += stack[k].first;
            }
            stack.resize(stack.size() - n);
            if (absent) out.resize(lowest);
            stack.emplace_back(absent ? kAbsent : sum, lowest);
        } else {
            double kept_cost = kHighestFinite;
            std::size_t kept = stack.size();
            // From the top down: of equal costs the entry latest in the condition stays.
            for (std::size_t k = stack.size(); k-- > stack.size() - n;) {
                if (present(stack[k].first) && stack[k].first < kept_cost) {
                    kept_cost = stack[k].first;
                    kept = k;
                }
            }
            if (kept == stack.size()) {
                stack.resize(stack.size() - n);
                out.resize(lowest);
                stack.emplace_back(kAbsent, lowest);
            } else {
                const std::size_t from = stack[kept].second, to = end_of(kept);
                std::move(out.begin() + from, out.begin() + to, out.begin() + lowest);
                out.resize(lowest + (to - from));
                stack.resize(stack.size() - n);
                stack.emplace_back(kept_cost, lowest);
            }
        }
    }
    QV_REQUIRE(stack.size() == 1, "a condition that leaves other than one value");
    QV_REQUIRE(stack[0].second == base, "leaf buffer out of step");
}

// constant + sum of weight * value, each value read once per evaluation at most.
double Evaluation::linear_value(std::uint32_t linear) {
    if (w_.linear_seen[linear] == w_.generation) return w_.linear_value[linear];
    const LinearCondition& lc = t_.task.linear_conditions[linear];
    QV_REQUIRE(!lc.weights.empty(), "a linear condition without weights");
    double value = lc.weights.back();
    for (std::size_t i = 0; i < lc.fluents.size(); ++i) value = value + numeric_value(state_, lc.fluents[i]) * lc.weights[i];
    w_.linear_seen[linear] = w_.generation;
    w_.linear_value[linear] = value;
    return value;
}

// The costs that hold before anything is applied, into `tent`: 0 for the atoms of the
// state's values, for the linear conditions that hold and for the progress atoms of
// where each action stands; 0 or 1 for the other numeric conditions. Later settings of
// one handle replace earlier ones.
void Evaluation::seed() {
    Workspace& w = w_;
    auto set = [&w](std::uint32_t h, double c) {
        if (!present(w.tent[h])) w.touched.push(h);
        w.tent[h] = c;
    };
    for_each_value_atom(t_.atoms, state_, [&](std::uint32_t h) { set(h, 0.0); });
    const ExpressionManager& m = t_.task.manager;
    for (const LinearCondition& lc : t_.task.linear_conditions)
        if (holds(m.get(lc.handle), state_)) set(static_cast<std::uint32_t>(lc.handle.index), 0.0);
    for (Expression h : t_.task.other_numeric_conditions)
        set(static_cast<std::uint32_t>(h.index), holds(m.get(h), state_) ? 0.0 : 1.0);

    const std::uint32_t gen = w.generation;
    bool static_running = false;
    for_each_running(state_, [&](Action a, std::uint64_t next) {
        if (auto slot = t_.slot_of.find(a); slot != t_.slot_of.end()) {
            w.running[slot->second] = next;
            w.running_seen[slot->second] = gen;
            static_running = static_running || t_.progress[slot->second].atom_count == 1;
        }
    });
    // The progress atom of each action, which a static atom is already; every slot is
    // checked, in order, only when a running action may stand where it cannot.
    auto progress = [&](std::uint32_t slot) {
        const ProgressRow& row = t_.progress[slot];
        QV_REQUIRE(row.atom_count != 0, "an action with events but without progress atoms");
        if (w.running_seen[slot] == gen) {
            const std::uint64_t k = w.running[slot];
            QV_REQUIRE(k >= 1 && k <= row.atom_count, "a running action's next event is out of range");
            if (row.atom_count != 1) set(t_.leaf_pool[row.atoms + k - 1], 0.0);
        } else if (row.atom_count != 1) {
            set(row.idle, 0.0);
        }
    };
    if (static_running) {
        for (std::uint32_t slot = 0, slots = static_cast<std::uint32_t>(t_.progress.size()); slot < slots; ++slot)
            progress(slot);
    } else {
        for (std::uint32_t slot : t_.dynamic_slots) progress(slot);
    }
}

// Propagation.
//
// The costs: every handle's cost is the least over the ways the relaxation can reach
// it (from the seeded costs, through operators) of the value computed along that way.
// An operator's offer is a monotone function of its precondition cost and never below
// it: c + 1 for an atom, c + r for a linear condition (r >= 0 fixed by the state); a
// precondition's cost is monotone in its leaves' costs, never below a leaf of an And
// (sums and maxima of non-negative numbers), and an Or takes its cheapest operand.
// Floating-point rounding keeps all of this (rounding is monotone, and x + y >= x for
// y >= 0), and both ways compute every number with the same operations in the same
// order: an offer is always c + 1 or c + r * 1, and a precondition's cost is always
// worked out by `cost` (a flat conjunction is folded over its leaves from the last to
// the first, which is how `cost` pops them). Propagating in rounds reaches the least
// costs (every cost it records is the value of some way, and when nothing improves
// any more no way can give less). So does this search: it takes handles in order of
// cost, so a handle leaves the queue at its least cost, and an operator is applied
// with its final precondition cost once the leaves its cost depends on have left the
// queue (a conjunction needs them all; of an Or, the chosen operand's leaves cost no
// more than the Or, and an operand reached later cannot be cheaper). Offers that are
// not below the handle's cost change no cost, so offers skipped for a linear
// condition at 0 change none either. The set of operators that get a precondition
// cost (reachable_actions) is therefore the same as well.
//
// hff best supporters: in rounds, a handle's supporter is set by every offer that
// improves it and raised to the larger id by every offer equal to its cost, whether
// made in the same round or a later one. An operator's offers only fall over time, and
// the last is made with its final precondition cost, so the supporter ends as the
// largest id among the operators whose last offer equals the handle's final cost. This
// search applies every reachable operator with its final precondition cost too and
// keeps the same rule, also for offers to a handle already taken from the queue, so
// it ends with the same supporters. One exception: a linear condition that does not
// hold in the state but gets the offer 0 (r = 0 on a precondition of cost 0). Rounds
// stop offering for it from the round after it reaches 0, so its supporter depends on
// which operators reached cost 0 in that very round. Such an evaluation is done again
// in rounds.
//
// hmax and linear conditions: an hmax offer for a linear condition adds r to the
// cheapest precondition cost, at that moment, of the operators that have offered for
// it so far; the result depends on the order of the offers. An hmax evaluation in
// which some operator may lower a linear condition that does not hold in the state is
// done in rounds, in increasing operator id within each round, as it always was.
//
// Stopping early: once every leaf of the goal (and, for hadd and hmax, of the idle
// condition) has left the queue, at most at cost K, the search takes what remains at
// cost K and stops. The value is read from those leaves' costs, which are final. An
// hff relaxed plan visits only handles of cost K or less: the leaves a supporter's
// precondition is costed on cost no more than what it supports, and of an Or the
// cheapest operand is taken, which an operand still in the queue (it would cost more
// than K) cannot be. The supporter of a handle of cost k is final once the handles of
// cost k are taken: an offer of k comes from an operator whose precondition costs k at
// most, so is applied by then. Conditions with a disjunction, and tasks with linear
// conditions that operators lower (whose offers read numbers from the state, which may
// fail), are always explored in full.
//
// Returns false when the evaluation must be done in rounds.
template <RelaxationKind K>
bool Evaluation::propagate(bool stop_early) {
    // cost() refuses a precondition without entries, as the rounds would (when there is
    // a round at all).
    if (!w_.touched.empty() || !t_.static_zero.empty())
        for (std::uint32_t id : t_.task.empty_precondition_operators) precondition_cost(id);
    Search<K> search(*this, stop_early && t_.may_stop_early);
    return search.run();
}

// The search's hot loop, with every table it touches at hand.
template <RelaxationKind K>
class Evaluation::Search {
  public:
    Search(Evaluation& e, bool stop_early)
        : e_(e),
          w_(e.w_),
          cost_(e.w_.cost.data()),
          tent_(e.w_.tent.data()),
          supporter_(e.w_.supporter.data()),
          op_cost_(e.w_.op_cost.data()),
          countdown_(e.w_.countdown.data()),
          operators_(e.t_.operators.data()),
          leaf_pool_(e.t_.leaf_pool.data()),
          lowered_pool_(e.t_.lowered_pool.data()),
          index_offsets_(e.t_.index_offsets.data()),
          index_ids_(e.t_.index_ids.data()),
          target_(e.t_.target.data()),
          awaited_(e.t_.awaited.data()),
          generation_(e.w_.generation) {
        if (stop_early) {
            targets_left_ = e.t_.targets;
            if (targets_left_ == 0) limit_ = 0.0;
        }
    }

    bool run() {
        // Operators with a static leaf, as if those leaves were taken first.
        for (std::uint32_t id : e_.t_.initial_operators)
            if (!initial(id)) return false;
        // Seeds at 0 are final at once (nothing costs less, and the order among equal
        // costs does not matter); the others wait in the queue like every offer.
        for (std::size_t i = 0, seeds = w_.touched.size(); i < seeds; ++i) {
            const std::uint32_t h = w_.touched[i];
            if (present(cost_[h])) continue;
            if (tent_[h] != 0.0) w_.queue.push(tent_[h], h);
            else if (!settle(h, 0.0)) return false;
        }
        double key;
        std::uint32_t h;
        while (w_.queue.pop(key, h)) {
            if (present(cost_[h]) || tent_[h] != key) continue;  // taken already, or a stale entry
            if (key > limit_) break;
            if (!settle(h, key)) return false;
        }
        return true;
    }

  private:
    // h's cost is final: the operators that need it count it off, or are costed again.
    // Costs are integral (offers add 1 or a whole number of repetitions to integral
    // precondition costs, from seeds of 0 and 1), so a sum counted off below 2^53 is
    // exactly the one `cost` would fold, in whatever order its terms came.
    bool settle(std::uint32_t h, double key) {
        cost_[h] = key;
        if (target_[h] && --targets_left_ == 0) limit_ = key;
        for (std::uint32_t i = index_offsets_[h], end = index_offsets_[h + 1]; i < end; ++i) {
            const std::uint32_t id = index_ids_[i];
            Countdown& left = countdown_[id];
            if (left.generation != generation_) {
                left.generation = generation_;
                left.remaining = awaited_[id];
                left.sum = 0.0;
            }
            if (left.remaining == kCostAgain) {
                if (!cost_again(id)) return false;
                continue;
            }
            left.sum = K == RelaxationKind::HMAX ? std::max(left.sum, key) : left.sum + key;
            if (--left.remaining == 0 && !complete(id, left.sum)) return false;
        }
        return true;
    }

    // Operators with static leaves that the search does not wait for (none other, or a
    // disjunction), as if those leaves were taken first.
    bool initial(std::uint32_t id) { return awaited_[id] == kCostAgain ? cost_again(id) : complete(id, 0.0); }

    // The last awaited leaf of operator id is final; `sum` counted them off.
    [[gnu::noinline]] bool complete(std::uint32_t id, double sum) {
        double c = sum;
        if (K != RelaxationKind::HMAX && !(sum < kExactSums)) c = e_.cost(e_.t_.preconditions[id]);
        return apply(id, c, operators_[id]);
    }

    // A leaf of operator id, whose precondition holds a disjunction, is final.
    [[gnu::noinline]] bool cost_again(std::uint32_t id) {
        const double c = e_.cost(e_.t_.preconditions[id]);
        if (!present(c) || (present(op_cost_[id]) && !(c < op_cost_[id]))) return true;
        return apply(id, c, operators_[id]);
    }

    bool apply(std::uint32_t id, double c, const OperatorRow& op) {
        if (!present(op_cost_[id])) w_.op_touched.push(id);
        op_cost_[id] = c;
        const double v = c + kOperatorCost;
        for (std::uint32_t i = op.adds, end = op.adds + op.add_count; i < end; ++i) offer(leaf_pool_[i], v, id);
        for (std::uint32_t i = op.lowered, end = op.lowered + op.lowered_count; i < end; ++i) {
            const LoweredRow& low = lowered_pool_[i];
            if (tent_[low.handle] == 0.0) continue;
            if (K == RelaxationKind::HMAX) return false;
            QV_REQUIRE(!e_.t_.task.linear_conditions[low.linear].fluents.empty(),
                       "a lowered condition without fluents");
            const double r =
                repetitions(low, e_.linear_value(low.linear), e_.t_.task.inadmissible_numeric_heuristic_variant);
            const double offered = c + r * kOperatorCost;
            if (std::isnan(offered)) continue;  // an offer that would be NaN is dropped
            if (K == RelaxationKind::HFF && offered == 0.0) return false;
            offer(low.handle, offered, id);
        }
        return true;
    }

    // v is never NaN. The common case first: no improvement. Supporters are kept as
    // id + 1, so that "none" (0) loses every comparison.
    void offer(std::uint32_t h, double v, std::uint32_t id) {
        double& old = tent_[h];
        if (!(v < old)) {
            if (present(old)) {
                if (K == RelaxationKind::HFF && old == v) supporter_[h] = std::max(supporter_[h], id + 1);
                return;
            }
            w_.touched.push(h);
        }
        old = v;
        if (K == RelaxationKind::HFF) supporter_[h] = id + 1;
        w_.queue.push(v, h);
    }

    Evaluation& e_;
    Workspace& w_;
    double* const cost_;
    double* const tent_;
    std::uint32_t* const supporter_;
    double* const op_cost_;
    Countdown* const countdown_;
    const OperatorRow* const operators_;
    const std::uint32_t* const leaf_pool_;
    const LoweredRow* const lowered_pool_;
    const std::uint32_t* const index_offsets_;
    const std::uint32_t* const index_ids_;
    const std::uint8_t* const target_;
    const std::uint32_t* const awaited_;
    const std::uint32_t generation_;
    // Without stopping early no count reaches 0.
    std::uint32_t targets_left_ = kNone;
    // Handles that cost more are not needed.
    double limit_ = std::numeric_limits<double>::infinity();
};

// Rounds: every cost read in a round comes from the table as it stood at the start of
// the round (`cost`); improvements (`tent`) take effect in the next one. Each round
// applies, in increasing id, the operators with a leaf among the handles improved in
// the last round whose precondition cost strictly dropped.
void Evaluation::propagate_in_rounds() {
    Workspace& w = w_;
    for (std::uint32_t h : w.touched) {
        w.cost[h] = w.tent[h];
        w.tent[h] = kAbsent;
    }
    w.frontier.assign(w.touched.begin(), w.touched.end());
    const bool hmax = kind_ == RelaxationKind::HMAX;
    bool first = true;
    while (!w.frontier.empty() || (first && !t_.static_zero.empty())) {
        const std::uint32_t stamp = w.next_round();
        w.batch.clear();
        auto enlist = [&w, stamp](std::uint32_t id) {
            if (w.batch_round[id] != stamp) {
                w.batch_round[id] = stamp;
                w.batch.push_back(id);
            }
        };
        for (std::uint32_t id : t_.task.empty_precondition_operators) {
            QV_REQUIRE(id < t_.operators.size(), "an operator id without an operator");
            enlist(id);
        }
        for (std::uint32_t h : w.frontier)
            for (std::uint32_t i = t_.index_offsets[h]; i < t_.index_offsets[h + 1]; ++i) enlist(t_.index_ids[i]);
        // The static atoms are part of the first frontier, though in no touched list.
        if (first) {
            for (std::uint32_t id : t_.static_operators) enlist(id);
            first = false;
        }
        std::sort(w.batch.begin(), w.batch.end());

        for (std::uint32_t id : w.batch) {
            const OperatorRow& op = t_.operators[id];
            const double c = precondition_cost(id);
            if (!present(c)) continue;
            if (present(w.op_cost[id]) && !(c < w.op_cost[id])) continue;
            if (!present(w.op_cost[id])) w.op_touched.push(id);
            w.op_cost[id] = c;
            for (std::uint32_t i = op.adds; i < op.adds + op.add_count; ++i)
                offer_in_round(t_.leaf_pool[i], c + kOperatorCost, id);
            for (std::uint32_t i = op.lowered; i < op.lowered + op.lowered_count; ++i) {
                const LoweredRow& low = t_.lowered_pool[i];
                if (w.cost[low.handle] == 0.0) continue;
                QV_REQUIRE(!t_.task.linear_conditions[low.linear].fluents.empty(),
                           "a lowered condition without fluents");
                const double r =
                    repetitions(low, linear_value(low.linear), t_.task.inadmissible_numeric_heuristic_variant);
                double v;
                if (hmax) {
                    auto& achievers = w.achievers[low.linear];
                    if (achievers.empty()) w.achievers_touched.push_back(low.linear);
                    if (std::find(achievers.begin(), achievers.end(), id) == achievers.end())
                        achievers.push_back(id);
                    double cheapest = kAbsent;
                    for (std::uint32_t o : achievers) {
                        const double oc = o == id ? c : precondition_cost(o);
                        QV_REQUIRE(present(oc), "an achiever without a precondition cost");
                        if (!present(cheapest) || oc < cheapest) cheapest = oc;
                    }
                    v = r * kOperatorCost + cheapest;
                } else {
                    v = c + r * kOperatorCost;
                }
                offer_in_round(low.handle, v, id);
            }
        }

        w.frontier.clear();
        for (std::uint32_t h : w.next_frontier) {
            w.cost[h] = w.tent[h];
            w.tent[h] = kAbsent;
            w.frontier.push_back(h);
        }
        w.next_frontier.clear();
    }
}

void Evaluation::offer_in_round(std::uint32_t h, double v, std::uint32_t id) {
    if (std::isnan(v)) return;
    Workspace& w = w_;
    const bool hff = kind_ == RelaxationKind::HFF;
    const double old = present(w.tent[h]) ? w.tent[h] : w.cost[h];
    if (!present(old) || old > v) {
        if (!present(w.tent[h])) {
            w.next_frontier.push_back(h);
            if (!present(w.cost[h])) w.touched.push(h);
        }
        w.tent[h] = v;
        if (hff) w.supporter[h] = id + 1;
    } else if (hff && old == v) {
        w.supporter[h] = std::max(w.supporter[h], id + 1);
    }
}

// hff: the events still to come of the running actions, plus every event of each
// distinct other action of the relaxed plan made of the goal's best supporters.
double Evaluation::relaxed_plan_value(double g) {
    Workspace& w = w_;
    double remaining = 0.0;
    for_each_running(state_, [&](Action a, std::uint64_t next) {
        auto slot = t_.slot_of.find(a);
        QV_REQUIRE(slot != t_.slot_of.end(), "a running action without events");
        remaining += static_cast<double>(t_.progress[slot->second].event_count) - static_cast<double>(next);
    });
    if (g == 0.0) return remaining;
    const std::uint32_t gen = w.generation;
    w.leaves.clear();
    hff_leaves(t_.goal, w.leaves);
    w.work.clear();
    for (std::uint32_t h : w.leaves)
        if (w.seen[h] != gen) {
            w.seen[h] = gen;
            w.work.push_back(h);
        }
    while (!w.work.empty()) {
        const std::uint32_t h = w.work.back();
        w.work.pop_back();
        if (w.supporter[h] == 0) continue;
        const std::uint32_t sup = w.supporter[h] - 1;
        QV_REQUIRE(sup < t_.operators.size(), "a best supporter without an operator");
        const std::uint32_t slot = t_.operator_slot[sup];
        if (w.used[slot] != gen) {
            w.used[slot] = gen;
            if (w.running_seen[slot] != gen) remaining += static_cast<double>(t_.progress[slot].event_count);
        }
        w.leaves.clear();
        hff_leaves(t_.preconditions[sup], w.leaves);
        for (std::uint32_t x : w.leaves)
            if (w.seen[x] != gen) {
                w.seen[x] = gen;
                w.work.push_back(x);
            }
    }
    return remaining;
}

std::optional<double> Evaluation::run(std::vector<std::uint32_t>* reachable) {
    w_.begin(t_);
    seed();
    bool rounds = false;
    if (kind_ == RelaxationKind::HMAX)
        for (std::uint32_t h : t_.lowerable) rounds = rounds || w_.tent[h] != 0.0;
    if (!rounds) {
        bool done = false;
        switch (kind_) {
            case RelaxationKind::HFF: done = propagate<RelaxationKind::HFF>(reachable == nullptr); break;
            case RelaxationKind::HADD: done = propagate<RelaxationKind::HADD>(reachable == nullptr); break;
            case RelaxationKind::HMAX: done = propagate<RelaxationKind::HMAX>(reachable == nullptr); break;
        }
        if (!done) {
            w_.begin(t_);
            seed();
            rounds = true;
        }
    }
    if (rounds) propagate_in_rounds();

    if (reachable) {
        reachable->clear();
        for (std::uint32_t id = 0; id < t_.operators.size(); ++id)
            if (present(w_.op_cost[id])) reachable->push_back(id);
        return std::nullopt;
    }
    const double g = cost(t_.goal);
    if (!present(g)) return std::nullopt;
    if (kind_ != RelaxationKind::HFF) {
        const double i = cost(t_.idle);
        if (!present(i)) return std::nullopt;
        return kind_ == RelaxationKind::HMAX ? std::max(g, i) : g + i;
    }
    return relaxed_plan_value(g);
}

// The value cache a heuristic shares with its copies, split into maps chosen by the
// key's hash, each under a lock of its own: threads evaluating side by side seldom meet
// at one lock, and none holds one while it computes.
class SharedValueCache {
  public:
    std::optional<std::optional<double>> find(const heuristics_detail::StateKeyView& key) {
        Shard& shard = shard_of(key);
        std::lock_guard<std::mutex> lock(shard.mutex);
        return heuristics_detail::find_value(shard.map, key);
    }
    // A value stored meanwhile by another evaluation stays (it is the same value).
    void store(const heuristics_detail::StateKeyView& key, std::optional<double> value) {
        Shard& shard = shard_of(key);
        std::lock_guard<std::mutex> lock(shard.mutex);
        heuristics_detail::store_value(shard.map, key, value);
    }

  private:
    static constexpr unsigned kShardBits = 5;
    struct alignas(64) Shard {
        std::mutex mutex;
        heuristics_detail::ValueMap map;
    };
    Shard& shard_of(const heuristics_detail::StateKeyView& key) {
        return shards_[key.hash >> (std::numeric_limits<std::size_t>::digits - kShardBits)];
    }
    std::array<Shard, std::size_t{1} << kShardBits> shards_;
};

}  // namespace

// ---------------------------------------------------------------------------

struct DeleteRelaxationHeuristic::Impl {
    std::shared_ptr<const CompiledTask> task;
    std::shared_ptr<SharedValueCache> cache;  // null: no internal caching
    std::shared_ptr<WorkspacePool> workspaces;
    bool goal_never_boolean;

    Impl(std::shared_ptr<const CompiledTask> t, std::shared_ptr<SharedValueCache> c, std::shared_ptr<WorkspacePool> w,
         bool never_boolean)
        : task(std::move(t)), cache(std::move(c)), workspaces(std::move(w)), goal_never_boolean(never_boolean) {}

    std::optional<double> compute(const State& state, Workspace& w, std::vector<std::uint32_t>* reachable) const {
        if (goal_never_boolean) raise_goal_not_boolean();
        return Evaluation(*task, w, state).run(reachable);
    }
};

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(const std::vector<Action>& actions,
                                                     const std::vector<std::string>& fluent_types,
                                                     const ObjectsByType& objects, const ActionEvents& events,
                                                     const FlatExpr& goals, bool internal_caching,
                                                     bool inadmissible_numeric_heuristic_variant,
                                                     bool disable_numeric_reasoning, RelaxationKind kind) {
    auto task = std::make_shared<const CompiledTask>(
        relaxation::build_relaxed_task(actions, fluent_types, objects, events, goals,
                                       inadmissible_numeric_heuristic_variant, disable_numeric_reasoning, kind));
    auto cache = internal_caching ? std::make_shared<SharedValueCache>() : nullptr;
    impl_ = std::make_unique<Impl>(std::move(task), std::move(cache), std::make_shared<WorkspacePool>(),
                                   heuristics_detail::goal_never_boolean(goals, fluent_types));
}

// Copies share the task, the value cache and the kept workspaces (an evaluation has the
// workspace it took to itself), so that copying costs a few reference counts and many
// copies used in turn by one thread use one workspace.
DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(const DeleteRelaxationHeuristic& o)
    : impl_(std::make_unique<Impl>(o.impl_->task, o.impl_->cache, o.impl_->workspaces, o.impl_->goal_never_boolean)) {}

DeleteRelaxationHeuristic::DeleteRelaxationHeuristic(DeleteRelaxationHeuristic&&) noexcept = default;

DeleteRelaxationHeuristic::~DeleteRelaxationHeuristic() = default;

std::optional<double> DeleteRelaxationHeuristic::eval(const State& state) const {
    Lease lease(*impl_->workspaces);
    Workspace& w = *lease;
    SharedValueCache* cache = impl_->cache.get();
    if (!cache) return impl_->compute(state, w, nullptr);
    // Evaluations of one heuristic and its copies run side by side: one that misses a
    // value another is computing just computes it as well.
    heuristics_detail::fill_event_progress(impl_->task->task.actions, state, w.progress);
    const heuristics_detail::StateKeyView key(state, w.progress);
    if (auto hit = cache->find(key)) return *hit;
    const std::optional<double> value = impl_->compute(state, w, nullptr);
    cache->store(key, value);
    return value;
}

std::vector<Action> DeleteRelaxationHeuristic::reachable_actions(const State& state) const {
    std::vector<std::uint32_t> ids;
    {
        Lease lease(*impl_->workspaces);
        impl_->compute(state, *lease, &ids);
    }
    const CompiledTask& t = *impl_->task;
    std::vector<std::uint32_t> reached(t.progress.size(), 0);
    for (std::uint32_t id : ids) ++reached[t.operator_slot[id]];
    std::vector<Action> out;
    for (std::uint32_t slot : t.slots_by_action) {
        const std::uint32_t count = t.progress[slot].operator_count;
        if (count != 0 && reached[slot] == count) out.push_back(t.progress[slot].action);
    }
    return out;
}

const char* DeleteRelaxationHeuristic::name() const noexcept {
    const RelaxedTask& t = impl_->task->task;
    const bool plain = !t.disable_numeric_reasoning;
    switch (t.kind) {
        case RelaxationKind::HFF: return plain ? "hff" : "hff_no_numbers";
        case RelaxationKind::HADD: return plain ? "hadd" : "hadd_no_numbers";
        case RelaxationKind::HMAX: return plain ? "hmax" : "hmax_no_numbers";
    }
    return "hff";
}

}  // namespace quorvane
