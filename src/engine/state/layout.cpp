#include "engine/state/layout.hpp"

#include "engine/support/errors.hpp"

namespace quorvane {

namespace {
std::atomic<std::uint64_t> next_layout_id{1};
}

LayoutPtr StateLayout::make(const std::vector<bool>& bits) {
    QV_REQUIRE(bits.size() < (std::size_t{1} << 30), "too many fluents for a state");
    auto* layout = new StateLayout;
    LayoutPtr out(layout);
    std::size_t nbits = 0;
    for (bool b : bits) nbits += b;
    layout->cell_begin_ = (nbits + 63) / 64;
    layout->slots_.resize(bits.size());
    std::uint32_t bit = 0;
    std::uint32_t cell = static_cast<std::uint32_t>(layout->cell_begin_);
    for (std::size_t f = 0; f < bits.size(); ++f) layout->slots_[f] = bits[f] ? (bit++ << 1) | 1 : (cell++ << 1);
    layout->words_ = cell;
    layout->id_ = next_layout_id.fetch_add(1, std::memory_order_relaxed);
    return out;
}

LayoutPtr StateLayout::cells_only(std::size_t fluents) { return make(std::vector<bool>(fluents, false)); }

}  // namespace quorvane
