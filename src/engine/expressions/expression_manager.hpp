// Interning of flat expressions: equal node lists get equal handles.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

// Interned handle to a flat expression of one ExpressionManager.
struct Expression {
    std::uint64_t index = 0;
    friend bool operator==(Expression, Expression) noexcept = default;
    friend auto operator<=>(Expression, Expression) noexcept = default;
    void hash_into(support::FxHasher& h) const noexcept { h.add(index); }
};

class ExpressionManager {
  public:
    // Interns `e`: equal expressions get equal handles, issued densely from 0.
    Expression put(std::span<const ExpressionNode> e);
    const std::vector<FlatExpr>& exprs() const noexcept { return exprs_; }
    const FlatExpr& get(Expression h) const {
        QV_REQUIRE(h.index < exprs_.size(), "expression handle from another manager");
        return exprs_[h.index];
    }
    std::size_t size() const noexcept { return exprs_.size(); }

  private:
    std::vector<FlatExpr> exprs_;
    boost::unordered_flat_map<FlatExpr, Expression, FlatExprHash, FlatExprEq> expr_ids_;
};

}  // namespace quorvane
