#include "engine/temporal/time_points.hpp"

#include <algorithm>
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
    build_dense_tables();
}

void TNInterpreter::build_dense_tables() {
    // Arrays only where they stay about as small as the maps: indices that the caller
    // spread far apart are served by the maps alone.
    const std::uint64_t action_limit = 2 * action_points_.size() + 64;
    bool dense = !action_points_.empty();
    std::uint64_t actions = 0;
    for (const auto& [key, point] : action_points_) {
        if (key.action.idx >= action_limit) dense = false;
        else actions = std::max(actions, key.action.idx + 1);
    }
    if (dense) {
        start_points_.assign(actions, 0);
        end_points_.assign(actions, 0);
        for (const auto& [key, point] : action_points_) (key.is_start ? start_points_ : end_points_)[key.action.idx] = point;
    }

    const std::uint64_t event_limit = 2 * event_points_.size() + 64;
    std::uint64_t rows = 0;
    for (const auto& [key, point] : event_points_) {
        if (key.action.idx >= event_limit || key.pos >= event_limit) return;
        rows = std::max(rows, key.action.idx + 1);
    }
    std::vector<std::uint64_t> length(rows, 0);
    for (const auto& [key, point] : event_points_)
        length[key.action.idx] = std::max<std::uint64_t>(length[key.action.idx], key.pos + 1);
    std::uint64_t total = 0;
    for (std::uint64_t l : length) total += l;
    if (rows == 0 || total > event_limit) return;
    event_rows_.resize(rows);
    for (std::uint64_t a = 0, offset = 0; a < rows; offset += length[a], ++a)
        event_rows_[a] = EventRow{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(length[a])};
    event_ids_.assign(total, 0);
    for (const auto& [key, point] : event_points_) event_ids_[event_rows_[key.action.idx].offset + key.pos] = point;
}

PointId TNInterpreter::find_action_point(Action action, bool is_start) const {
    auto it = action_points_.find(ActionPointKey{action, is_start});
    // Every action of the task has points: a miss means the task broke its own shape.
    if (it == action_points_.end()) internal_error("Action not found in the TNInterpreter");
    return it->second;
}

PointId TNInterpreter::find_event_point(Action action, std::uint64_t pos) const {
    auto it = event_points_.find(EventPointKey{action, pos});
    if (it == event_points_.end()) internal_error("Event not found in the TNInterpreter");
    return it->second;
}

}  // namespace quorvane
