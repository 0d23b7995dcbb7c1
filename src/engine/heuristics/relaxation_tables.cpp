// Compiling the relaxed task into the tables an evaluation reads.
#include "engine/heuristics/relaxation_tables.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/expressions/expression_manager.hpp"
#include "engine/support/errors.hpp"

namespace quorvane::heuristics_detail {

namespace {

std::uint32_t narrow(std::size_t v, const char* what) {
    QV_REQUIRE(v < kNone, what);
    return static_cast<std::uint32_t>(v);
}

}  // namespace

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
    const Code last = out.length == 0 ? kOrCode : code_pool.back();
    out.flat = (out.length == 1 && (last & kKindMask) == kLeafCode) ||
               (out.length == out.leaf_count + 1 && last == (kAndCode | out.leaf_count));
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

}  // namespace quorvane::heuristics_detail
