// Evaluation of flat expressions over a source of fluent values.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

// The one operation through which evaluation reads fluent values: the value node of a
// fluent, by reference where the source holds nodes, or as a node made on the way.
template <class S>
concept FluentValueSource = requires(const S& s, std::uint64_t f) {
    { s.fluent_value(f) } -> std::convertible_to<ExpressionNode>;
};

// Assumed values for some fluents; stands in for a State when evaluating.
class FluentAssignments {
  public:
    FluentAssignments() = default;
    void assign(std::uint64_t fluent, ExpressionNode value) { values_.insert_or_assign(fluent, std::move(value)); }
    bool contains(std::uint64_t fluent) const { return values_.contains(fluent); }
    const ExpressionNode* find(std::uint64_t fluent) const {
        auto it = values_.find(fluent);
        return it == values_.end() ? nullptr : &it->second;
    }
    const ExpressionNode& fluent_value(std::uint64_t fluent) const {
        const ExpressionNode* v = find(fluent);
        QV_REQUIRE(v, "fluent missing from the assignments");
        return *v;
    }
    std::size_t size() const noexcept { return values_.size(); }

  private:
    boost::unordered_flat_map<std::uint64_t, ExpressionNode, support::FxHash<std::uint64_t>> values_;
};

// Value of the expression's root over `source`, in one pass over the nodes.
// Errors: ValueError "Expected a number!", ZeroDivisionError "division by zero";
// malformed expressions end with InternalError.
template <FluentValueSource S>
ExpressionNode internal_evaluate(std::span<const ExpressionNode> expr, const S& source);

}  // namespace quorvane

#include "engine/expressions/evaluation_impl.hpp"
