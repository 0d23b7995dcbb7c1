#include "engine/search/duplicates.hpp"

#include <random>

#include "engine/support/fx_hash.hpp"

namespace quorvane::search {

// --- the Bloom filter's key ---------------------------------------------------------

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
