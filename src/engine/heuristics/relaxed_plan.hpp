// The hff relaxed plan and its value, from the best supporters an evaluation of hff
// recorded. Included by the propagation alone, which inlines it into an evaluation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/heuristics/relaxation_tables.hpp"
#include "engine/heuristics/state_reading.hpp"
#include "engine/heuristics/workspace.hpp"
#include "engine/state/state.hpp"
#include "engine/support/errors.hpp"

// Internal to the heuristics folder, and included by propagation.cpp alone: file-local
// there, so that the compiler inlines it into an evaluation as it sees fit.
namespace quorvane::heuristics_detail {
namespace {

// The relaxed plan over the costs and best supporters that an hff evaluation of `state`
// left in `w`.
class RelaxedPlan {
  public:
    RelaxedPlan(const CompiledTask& t, Workspace& w, const State& state) : t_(t), w_(w), state_(state) {}

    // hff: the events still to come of the running actions, plus every event of each
    // distinct other action of the relaxed plan made of the goal's best supporters.
    double value(double g);

  private:
    // The atoms a relaxed plan must reach for a condition: every leaf of a condition
    // without disjunctions; otherwise, of each Or, the cheapest operand (the later one on
    // ties), the costs of And operands added whatever the kind.
    void hff_leaves(const Condition& c, std::vector<std::uint32_t>& out);

    const CompiledTask& t_;
    Workspace& w_;
    const State& state_;
};

void RelaxedPlan::hff_leaves(const Condition& c, std::vector<std::uint32_t>& out) {
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

double RelaxedPlan::value(double g) {
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

}  // namespace
}  // namespace quorvane::heuristics_detail
