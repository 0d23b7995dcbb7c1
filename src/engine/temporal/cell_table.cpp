#include "engine/temporal/cell_table.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include "engine/support/errors.hpp"

namespace quorvane {

namespace search_network_detail {

void CellTable::release(Node* n, unsigned level) noexcept {
    if (!n || n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (level == 0) {
        delete static_cast<Leaf*>(n);
        return;
    }
    Inner* in = static_cast<Inner*>(n);
    for (Node* c : in->child) release(c, level - 1);
    delete in;
}

PointSlot& CellTable::unique_path(std::uint32_t i) {
    // Each node on the path is made this array's own: a node that another array still
    // refers to is copied (its children gain the copy as a holder) and let go of.
    Node** at = &root_;
    for (unsigned level = levels_; level > 0; --level) {
        Node* n = *at;
        Inner* own;
        if (!n) {
            own = new Inner;
        } else if (n->refs.load(std::memory_order_acquire) == 1) {
            own = static_cast<Inner*>(n);
        } else {
            own = new Inner;
            for (unsigned k = 0; k <= kInnerMask; ++k) {
                own->child[k] = static_cast<Inner*>(n)->child[k];
                retain(own->child[k]);
            }
            release(n, level);
        }
        *at = own;
        at = &own->child[slot(i, level)];
    }
    Node* n = *at;
    Leaf* own;
    if (!n) {
        own = new Leaf;
    } else if (n->refs.load(std::memory_order_acquire) == 1) {
        own = static_cast<Leaf*>(n);
    } else {
        own = new Leaf;
        std::copy(std::begin(static_cast<Leaf*>(n)->cells), std::end(static_cast<Leaf*>(n)->cells), own->cells);
        release(n, 0);
    }
    *at = own;
    return own->cells[i & kLeafMask];
}

void CellTable::push_back(const PointSlot& c) {
    QV_REQUIRE(size_ < std::numeric_limits<std::uint32_t>::max(), "too many points in a temporal network");
    if (!root_) {
        root_ = new Leaf;
        levels_ = 0;
    } else if (std::uint64_t{size_} >> (kLeafBits + levels_ * kInnerBits) != 0) {
        // Full: the old trie becomes the first child of a new root.
        Inner* top = new Inner;
        top->child[0] = root_;
        root_ = top;
        ++levels_;
    }
    unique_path(size_) = c;
    ++size_;
}

}  // namespace search_network_detail

}  // namespace quorvane
