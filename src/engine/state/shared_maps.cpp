#include "engine/state/shared_maps.hpp"

namespace quorvane {

bool same_running(const RunningActions& a, const RunningActions& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.shares(b)) return true;
    for (const auto& [action, entry] : a) {
        auto it = b.find(action);
        if (it == b.end() || it->second.next_event != entry.next_event) return false;
    }
    return true;
}

}  // namespace quorvane
