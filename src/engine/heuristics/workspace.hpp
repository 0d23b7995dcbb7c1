// The working tables of an evaluation of hff, hadd and hmax, and the pool a heuristic
// keeps them in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/heuristics/relaxation_tables.hpp"
#include "engine/support/cost_queue.hpp"
#include "engine/support/id_stack.hpp"
#include "engine/support/workspace_pool.hpp"

// Internal to the heuristics folder.
namespace quorvane::heuristics_detail {

using support::CostQueue;
using support::IdStack;

// An operator's leaves still to come in this evaluation, and the sum (hmax: the
// maximum) of the costs of those that came.
struct Countdown {
    double sum;
    std::uint32_t generation;
    std::uint32_t remaining;
};
static_assert(sizeof(Countdown) == 16);

// Where an evaluation reads the values of a state of one layout (see
// `for_each_value_atom`).
struct ValueRead {
    std::uint32_t index;              // the bit's index over the words, or the fluent
    std::uint32_t if_true, if_false;  // the bit's atoms
    bool bit;
};
struct ValueReads {
    std::uint64_t layout = 0;  // the layout's id; 0 for none
    std::vector<ValueRead> reads;
    // When every read is a bit with a true atom and no false one, in increasing bit
    // order: the bits read, by word, and the true atom of each bit, so that a state's
    // set bits alone are visited, in the same order.
    bool by_set_bits = false;
    std::vector<std::uint64_t> masks;
    std::vector<std::uint32_t> atom_of_bit;
};

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
    ValueReads value_reads;
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
            value_reads.layout = 0;
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

}  // namespace quorvane::heuristics_detail
