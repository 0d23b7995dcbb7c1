// Flat expressions taken apart and renumbered: the conjuncts of a root conjunction,
// operand indices moved by an offset, and the fluents an expression reads.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/expressions/node.hpp"

namespace quorvane {

// Cuts a root conjunction into one self-contained expression per conjunct.
std::vector<FlatExpr> split_expression(std::span<const ExpressionNode> expr);

// The error of index arithmetic on flat expressions; its only variant is Overflow.
enum class ArithmeticError { Overflow };
inline const char* debug_text(ArithmeticError) noexcept { return "Overflow"; }

enum class ShiftDirection { Add, Subtract };
// Moves every operand index by `offset`; Error(Exception, "Overflow") when an index leaves [0, 2^64).
ExpressionNode do_shift(const ExpressionNode& node, std::uint64_t offset, ShiftDirection dir);
FlatExpr shift_expression(std::span<const ExpressionNode> expr, std::uint64_t offset, ShiftDirection dir);

// The fluent index of every Fluent node, in node order, repeats kept.
std::vector<std::uint64_t> get_fluents(std::span<const ExpressionNode> expr);

}  // namespace quorvane
