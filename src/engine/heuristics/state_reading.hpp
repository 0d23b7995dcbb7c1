// How an evaluation of hff, hadd and hmax reads a state.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/node.hpp"
#include "engine/heuristics/relaxation_tables.hpp"
#include "engine/heuristics/workspace.hpp"
#include "engine/state/layout.hpp"
#include "engine/state/state.hpp"

// Internal to the heuristics folder, and included by propagation.cpp alone: file-local
// there, so that the compiler inlines it into an evaluation as it sees fit.
namespace quorvane::heuristics_detail {
namespace {

// With the reads of a layout made: whether only set bits need visiting (see ValueReads),
// and their tables, kept only while they stay near the size of the reads.
void plan_set_bit_reads(ValueReads& reads) {
    reads.by_set_bits = false;
    reads.masks.clear();
    reads.atom_of_bit.clear();
    if (reads.reads.empty()) return;
    std::uint32_t last = 0;
    for (std::size_t i = 0; i < reads.reads.size(); ++i) {
        const ValueRead& r = reads.reads[i];
        if (!r.bit || r.if_true == kNone || r.if_false != kNone || (i != 0 && r.index <= last)) return;
        last = r.index;
    }
    const std::size_t words = std::size_t{last} / 64 + 1;
    if (words * 64 > 16 * reads.reads.size() + 64) return;
    reads.masks.assign(words, 0);
    reads.atom_of_bit.assign(words * 64, kNone);
    for (const ValueRead& r : reads.reads) {
        reads.masks[r.index >> 6] |= std::uint64_t{1} << (r.index & 63);
        reads.atom_of_bit[r.index] = r.if_true;
    }
    reads.by_set_bits = true;
}

// Made once per layout: a boolean fluent with a bit of its own below `atoms.dense` is read
// from its bit (and left out when neither of its atoms exists); any other fluent from its
// cell, by fluent index.
void plan_value_reads(const AtomTable& atoms, const StateLayout& layout, ValueReads& reads) {
    reads.layout = 0;
    reads.reads.clear();
    const bool others = !atoms.others.empty();
    for (std::uint64_t f = 0, n = layout.num_fluents(); f < n; ++f) {
        if (layout.is_bit(f) && f < atoms.dense) {
            if (atoms.if_true[f] != kNone || atoms.if_false[f] != kNone)
                reads.reads.push_back(ValueRead{layout.index(f), atoms.if_true[f], atoms.if_false[f], true});
        } else if (!layout.is_bit(f) || others) {
            reads.reads.push_back(ValueRead{static_cast<std::uint32_t>(f), kNone, kNone, false});
        }
    }
    plan_set_bit_reads(reads);
    reads.layout = layout.id();
}

// Reading the state. Evaluation reads a State through these four functions alone.

// visit(handle) for the atom of every fluent's value in `state` that construction made,
// in fluent order. Boolean values are read from their bits or cells; a value is built as
// a node only when some atom could hold it. `reads` lists, for the layout it was made
// for, the fluents to look at and where: made again when a state of another layout comes.
template <class Visit>
void for_each_value_atom(const AtomTable& atoms, const State& state, ValueReads& reads, Visit&& visit) {
    const StateLayout& layout = state.values.layout();
    if (reads.layout != layout.id()) plan_value_reads(atoms, layout, reads);
    const std::uint64_t* words = state.values.words();
    if (reads.by_set_bits) {
        const std::uint64_t* masks = reads.masks.data();
        const std::uint32_t* atom = reads.atom_of_bit.data();
        for (std::size_t i = 0, n = reads.masks.size(); i < n; ++i)
            for (std::uint64_t m = words[i] & masks[i]; m != 0; m &= m - 1) visit(atom[i * 64 + std::countr_zero(m)]);
        return;
    }
    const bool others = !atoms.others.empty();
    for (const ValueRead& r : reads.reads) {
        std::uint32_t h;
        if (r.bit) {
            h = (words[r.index >> 6] >> (r.index & 63)) & 1 ? r.if_true : r.if_false;
        } else {
            const std::uint64_t f = r.index;
            const Cell c = state.values.cell(f);
            h = kNone;
            if (c.is_bool() && f < atoms.dense) h = c.is_true() ? atoms.if_true[f] : atoms.if_false[f];
            else if (others) h = atoms.atom(f, c.decode());
        }
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

}  // namespace
}  // namespace quorvane::heuristics_detail
