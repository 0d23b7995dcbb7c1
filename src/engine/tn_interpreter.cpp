#include "engine/tn_interpreter.hpp"

#include <limits>

namespace quorvane {

PointId TNInterpreter::next_point() {
    // Identifiers are 32-bit: a task with more points cannot be keyed at all.
    if (next_ > std::numeric_limits<PointId>::max())
        raise(ErrorKind::Exception, "Too many time points for the TNInterpreter");
    return static_cast<PointId>(next_++);
}

TNInterpreter::TNInterpreter(const std::vector<Action>& actions, const ActionEvents& events) {
    for (Action a : actions) {
        for (bool is_start : {true, false}) {
            PointId p = next_point();
            action_points_.insert_or_assign(ActionPointKey{a, is_start}, p);
            point_to_action_.insert_or_assign(p, ActionPointKey{a, is_start});
        }
    }
    for (const auto& [action, list] : events) {
        for (const TimedEvent& te : list) {
            PointId p = next_point();
            event_points_.insert_or_assign(EventPointKey{action, te.second.pos}, p);
            point_to_event_.insert_or_assign(p, EventPointKey{action, te.second.pos});
        }
    }
}

PointId TNInterpreter::get_action_point(Action action, bool is_start) const {
    auto it = action_points_.find(ActionPointKey{action, is_start});
    // Every action of the task has points: a miss means the task broke its own shape.
    if (it == action_points_.end()) internal_error("Action not found in the TNInterpreter");
    return it->second;
}

PointId TNInterpreter::get_event_point(Action action, std::uint64_t pos) const {
    auto it = event_points_.find(EventPointKey{action, pos});
    if (it == event_points_.end()) internal_error("Event not found in the TNInterpreter");
    return it->second;
}

}  // namespace quorvane
