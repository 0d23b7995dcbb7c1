#include "engine/search/duplicates.hpp"

#include <random>

#include "engine/support/fx_hash.hpp"

namespace quorvane::search {

// --- duplicate detection ----------------------------------------------------------------

bool operator==(const WeakEqState& a, const WeakEqState& b) noexcept {
    // Both hashes cover the fluent values alone, which equal keys share.
    if (a.hash_ != b.hash_) return false;
    const State& x = *a.state_;
    const State& y = *b.state_;
    return x.values == y.values && same_running(x.todo, y.todo);
}

bool SeenSet::insert(const StatePtr& state) {
    switch (policy_) {
        case SeenPolicy::States: return states_.insert(SharedStateKey(state)).second;
        case SeenPolicy::WeakStates: return weak_.insert(WeakEqState(state)).second;
        case SeenPolicy::None: return true;
    }
    return true;
}

bool SeenSet::contains(const StatePtr& state) const {
    switch (policy_) {
        case SeenPolicy::States: return states_.contains(SharedStateKey(state));
        case SeenPolicy::WeakStates: return weak_.contains(WeakEqState(state));
        case SeenPolicy::None: return false;
    }
    return false;
}

void SeenSet::clear() {
    states_.clear();
    weak_.clear();
}

SeededStateHasher::SeededStateHasher(bool temporal) : temporal_(temporal) {
    std::random_device device;
    seed_ = (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

std::uint64_t SeededStateHasher::operator()(const State& state) const noexcept {
    // The state's own hash covers its values and, in a task without a network, its
    // progress once there is some: exactly what State equality compares. In a temporal
    // task the filter stands for weak equality: the values and the running actions'
    // next events.
    support::FxHasher h;
    h.add(seed_);
    if (temporal_) {
        h.add(state.values_hash());
        state.hash_running_into(h);
    } else {
        h.add(state.hash());
    }
    // Fx leaves the low bits weak; the filter derives its bit positions from all 64.
    return support::mix64(h.finish() ^ seed_);
}

}  // namespace quorvane::search
