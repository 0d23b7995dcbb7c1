// hff, hadd and hmax over the delete relaxation with numeric conditions.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

enum class RelaxationKind { HFF = 0, HADD = 1, HMAX = 2 };

class DeleteRelaxationHeuristic {
  public:
    // Builds the relaxed task once; construction errors are thrown (Error / InternalError).
    DeleteRelaxationHeuristic(const std::vector<Action>& actions, const std::vector<std::string>& fluent_types,
                              const ObjectsByType& objects, const ActionEvents& events, const FlatExpr& goals,
                              bool internal_caching, bool inadmissible_numeric_heuristic_variant,
                              bool disable_numeric_reasoning, RelaxationKind kind);

    // A copy shares the value cache and the expression store with its source.
    DeleteRelaxationHeuristic(const DeleteRelaxationHeuristic&);
    // A moved-from heuristic may only be destroyed.
    DeleteRelaxationHeuristic(DeleteRelaxationHeuristic&&) noexcept;
    ~DeleteRelaxationHeuristic();

    // The heuristic value, or nullopt for a dead end. Thread-safe.
    std::optional<double> eval(const State& state) const;
    std::vector<Action> reachable_actions(const State& state) const;
    // "hff", "hff_no_numbers", "hadd", ... (static text).
    const char* name() const noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane
