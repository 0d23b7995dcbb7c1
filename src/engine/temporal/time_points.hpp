// Numbering of the time points of a temporal task, and the way back from a network's
// potentials to the start and end times of action instances.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/support/errors.hpp"
#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/search_network.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

using PointId = std::uint32_t;

// A network key: the point identifier in the high 32 bits, the instance number of the
// action or event occurrence in the low 32 bits.
constexpr std::uint64_t time_point_key(PointId point, std::uint32_t instance) noexcept {
    return (static_cast<std::uint64_t>(point) << 32) | instance;
}

// One action point occurrence read back from a network.
struct ActionPointInstance {
    Action action;
    bool is_start = true;
    std::uint32_t instance = 0;
};

class TNInterpreter {
  public:
    // Keys of the plan's origin and horizon; no point identifier is below 3, so no
    // point key collides with them.
    static constexpr std::uint64_t origin = 1;
    static constexpr std::uint64_t horizon = 2;
    static_assert(origin == SearchNetwork::kOriginKey && horizon == SearchNetwork::kHorizonKey);

    TNInterpreter() = default;
    // Start and end points of every action of `actions` (in list order), then one point
    // per event of `events` (in the map's order). A later entry for the same action, or
    // for the same (action, pos), replaces the earlier one.
    TNInterpreter(const std::vector<Action>& actions, const ActionEvents& events);

    // InternalError "Action not found in the TNInterpreter" for an action without points.
    PointId get_action_point(Action action, bool is_start) const {
        if (action.idx < start_points_.size()) {
            const PointId p = (is_start ? start_points_ : end_points_)[action.idx];
            if (p != 0) [[likely]]
                return p;
        }
        return find_action_point(action, is_start);
    }
    // InternalError "Event not found in the TNInterpreter" for a missing pair.
    PointId get_event_point(Action action, std::uint64_t pos) const {
        if (action.idx < event_rows_.size()) {
            const EventRow row = event_rows_[action.idx];
            if (pos < row.length) {
                const PointId p = event_ids_[row.offset + pos];
                if (p != 0) [[likely]]
                    return p;
            }
        }
        return find_event_point(action, pos);
    }

    // Every action point of `network` with its time (minus its potential), sorted by
    // time; equal times keep the network's own order. Event points, the origin and the
    // horizon are skipped.
    template <class W, class Traits>
    std::vector<std::pair<ActionPointInstance, W>> get_actions_timings(const DeltaSTN<W, Traits>& network) const;

    std::size_t num_action_points() const noexcept { return point_to_action_.size(); }

  private:
    PointId find_action_point(Action action, bool is_start) const;
    PointId find_event_point(Action action, std::uint64_t pos) const;

    struct ActionPointKey {
        Action action;
        bool is_start;
        friend bool operator==(const ActionPointKey&, const ActionPointKey&) noexcept = default;
    };
    struct EventPointKey {
        Action action;
        std::uint64_t pos;
        friend bool operator==(const EventPointKey&, const EventPointKey&) noexcept = default;
    };
    struct KeyHash {
        std::size_t operator()(const ActionPointKey& k) const noexcept {
            support::FxHasher h;
            h.add(k.action.idx);
            h.add(static_cast<std::uint64_t>(k.is_start));
            return static_cast<std::size_t>(h.finish());
        }
        std::size_t operator()(const EventPointKey& k) const noexcept {
            support::FxHasher h;
            h.add(k.action.idx);
            h.add(k.pos);
            return static_cast<std::size_t>(h.finish());
        }
        std::size_t operator()(PointId p) const noexcept {
            support::FxHasher h;
            h.add(static_cast<std::uint64_t>(p));
            return static_cast<std::size_t>(h.finish());
        }
    };

    PointId next_point();
    // The dense copies below, made once the maps are final.
    void build_dense_tables();

    boost::unordered_flat_map<ActionPointKey, PointId, KeyHash> action_points_;
    boost::unordered_flat_map<EventPointKey, PointId, KeyHash> event_points_;
    boost::unordered_flat_map<PointId, ActionPointKey, KeyHash> point_to_action_;
    // Kept for symmetry with point_to_action_ and for debugging; nothing reads it.
    boost::unordered_flat_map<PointId, EventPointKey, KeyHash> point_to_event_;
    std::uint64_t next_ = 3;

    // The same answers as action_points_ and event_points_, as arrays indexed by action
    // index (and event position), for tasks whose indices are dense enough; 0 (no point)
    // sends a lookup on to the maps, which also give the error of a missing pair.
    std::vector<PointId> start_points_, end_points_;
    struct EventRow {
        std::uint32_t offset = 0, length = 0;
    };
    std::vector<EventRow> event_rows_;
    std::vector<PointId> event_ids_;
};

template <class W, class Traits>
std::vector<std::pair<ActionPointInstance, W>> TNInterpreter::get_actions_timings(
    const DeltaSTN<W, Traits>& network) const {
    std::vector<std::pair<ActionPointInstance, W>> out;
    for (const auto& [key, potential] : network.distances()) {
        auto it = point_to_action_.find(static_cast<PointId>(key >> 32));
        if (it == point_to_action_.end()) continue;
        const ActionPointKey& point = it->second;
        out.emplace_back(ActionPointInstance{point.action, point.is_start, static_cast<std::uint32_t>(key)},
                         -potential);
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return out;
}

}  // namespace quorvane
