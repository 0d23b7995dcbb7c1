// Partial evaluation of flat expressions under assumed fluent values.
#pragma once

#include <span>

#include "engine/expressions/evaluation.hpp"
#include "engine/expressions/node.hpp"

namespace quorvane {

// Partial evaluation under `assignments`, keeping only the nodes the root reaches.
FlatExpr simplify(std::span<const ExpressionNode> expr, const FluentAssignments& assignments);

}  // namespace quorvane
