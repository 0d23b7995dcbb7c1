// The slot that holds the temporal network of a state.
#pragma once

#include <utility>

#include "engine/temporal/search_network.hpp"

namespace quorvane {

using FloatNetwork = SearchNetwork;

// The temporal network of a state, present in every state of a temporal task; owned,
// so a copy copies the network (which shares its edge lists).
class NetworkSlot {
  public:
    NetworkSlot() noexcept = default;
    NetworkSlot(const NetworkSlot& o) : p_(o.p_ ? new FloatNetwork(*o.p_) : nullptr) {}
    NetworkSlot& operator=(const NetworkSlot&) = delete;
    ~NetworkSlot() { delete p_; }

    bool has_value() const noexcept { return p_ != nullptr; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    FloatNetwork& operator*() noexcept { return *p_; }
    const FloatNetwork& operator*() const noexcept { return *p_; }
    FloatNetwork* operator->() noexcept { return p_; }
    const FloatNetwork* operator->() const noexcept { return p_; }
    template <class... Args>
    FloatNetwork& emplace(Args&&... args) {
        FloatNetwork* n = new FloatNetwork(std::forward<Args>(args)...);
        delete p_;
        p_ = n;
        return *p_;
    }

  private:
    FloatNetwork* p_ = nullptr;
};

}  // namespace quorvane
