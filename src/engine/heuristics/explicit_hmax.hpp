// hmax over explicit sets of possible fluent values.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/time_limit.hpp"

namespace quorvane {

class HMaxExplicit {
  public:
    HMaxExplicit(const std::vector<Action>& actions, const std::vector<std::string>& fluent_types,
                 const ActionEvents& events, const FlatExpr& goals, bool internal_caching);
    // A copy shares the value cache with its source.
    HMaxExplicit(const HMaxExplicit&);
    // A moved-from heuristic may only be destroyed.
    HMaxExplicit(HMaxExplicit&&) noexcept;
    ~HMaxExplicit();

    // The heuristic value, or nullopt for a dead end. Thread-safe. With a limit, a long
    // evaluation checks it now and then and ends with its TimeoutError once past it. An
    // evaluation whose possible-value sets outgrow the memory this process can ever have
    // throws std::bad_alloc: such an evaluation could never finish. The evaluator's
    // errors under some combination of possible values pass through as they are.
    std::optional<double> eval(const State& state, const TimeLimit* limit = nullptr) const;

    // What the machine can still hand out, in bytes (nullopt: unknown). Evaluations whose
    // sets keep growing ask it now and then; tests put a probe of their own in its place
    // (null puts the machine's back).
    using MemoryProbe = std::optional<std::size_t> (*)();
    static void set_memory_probe_for_testing(MemoryProbe probe) noexcept;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorvane
