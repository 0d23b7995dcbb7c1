// The task structures: actions, their timed events, effects and timings.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/expressions/node.hpp"

namespace quorvane {

struct Action {
    std::uint64_t idx = 0;
    friend bool operator==(Action, Action) noexcept = default;
    friend auto operator<=>(Action, Action) noexcept = default;
    void hash_into(support::FxHasher& h) const noexcept { h.add(idx); }
    std::string debug() const;
};

struct Effect {
    std::uint64_t fluent = 0;
    FlatExpr value;
    std::string debug() const;
    void debug_into(std::string& out) const;
};

struct Timing {
    bool start = true;  // measured from the action's start (true) or its end (false)
    Rational delay;
    bool is_from_start() const noexcept { return start; }
    bool is_from_end() const noexcept { return !start; }
    std::string debug() const;
};

struct Event {
    Action action;
    std::uint64_t pos = 0;
    FlatExpr conditions;
    std::vector<FlatExpr> start_conditions;
    std::vector<FlatExpr> end_conditions;
    std::vector<Effect> effects;
    std::string debug() const;
};

using TimedEvent = std::pair<Timing, Event>;

// The events of each action, in the caller's order. Keys are unique by index: of two
// entries for one action index, the later replaced the earlier when the map was made.
using ActionEvents = std::vector<std::pair<Action, std::vector<TimedEvent>>>;

// Object names by type name, in the caller's order.
using ObjectsByType = std::vector<std::pair<std::string, std::vector<std::string>>>;

}  // namespace quorvane
