// Reading an expression as a polynomial of degree at most one, for the linear
// conditions of the relaxed task.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/expressions/node.hpp"

// Internal to the heuristics folder.
namespace quorvane::heuristics_detail {

struct LinearPolynomial {
    std::optional<double> constant;
    std::vector<std::pair<std::uint64_t, double>> terms;  // ascending fluent index
};

// Reads a post-order expression as a polynomial of degree at most one; nullopt when it
// is not linear. Coefficients stay exact until the single conversion at the end.
std::optional<LinearPolynomial> to_linear_polynomial(std::span<const ExpressionNode> expr);

}  // namespace quorvane::heuristics_detail
