// Short ways of building task structures in the engine tests.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/task/actions.hpp"

namespace quorvane::test_tasks {

// The event at `pos` of action `action`, with plain conditions and the given effects.
inline Event make_event(std::uint64_t action, std::uint64_t pos, FlatExpr conditions, std::vector<Effect> effects) {
    Event e;
    e.action = Action{action};
    e.pos = pos;
    e.conditions = std::move(conditions);
    e.effects = std::move(effects);
    return e;
}

}  // namespace quorvane::test_tasks
