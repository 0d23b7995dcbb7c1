// A min-max heap in one array: constant-time access to both the smallest and the
// largest item, logarithmic push and removal at either end. Levels alternate
// between min levels (even depth) and max levels (odd depth).
#pragma once

#include <bit>
#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"

namespace quorvane::support {

template <class T, class Compare = std::less<T>>
class MinMaxHeap {
  public:
    MinMaxHeap() = default;
    explicit MinMaxHeap(std::size_t capacity, Compare less = Compare()) : less_(std::move(less)) {
        items_.reserve(capacity);
    }

    std::size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    void reserve(std::size_t n) { items_.reserve(n); }

    const T& min() const {
        QV_REQUIRE(!items_.empty(), "min of an empty heap");
        return items_[0];
    }
    const T& max() const {
        QV_REQUIRE(!items_.empty(), "max of an empty heap");
        return items_[max_index()];
    }

    void push(T item) {
        items_.push_back(std::move(item));
        bubble_up(items_.size() - 1);
    }

    T pop_min() {
        QV_REQUIRE(!items_.empty(), "pop_min of an empty heap");
        return remove_at(0);
    }
    T pop_max() {
        QV_REQUIRE(!items_.empty(), "pop_max of an empty heap");
        return remove_at(max_index());
    }

    // Puts `item` in place of the minimum and returns the old minimum.
    T replace_min(T item) {
        QV_REQUIRE(!items_.empty(), "replace_min of an empty heap");
        T old = std::exchange(items_[0], std::move(item));
        trickle_down(0);
        return old;
    }

  private:
    static bool on_min_level(std::size_t i) noexcept { return (std::bit_width(i + 1) - 1) % 2 == 0; }
    static std::size_t parent(std::size_t i) noexcept { return (i - 1) / 2; }

    std::size_t max_index() const noexcept {
        if (items_.size() == 1) return 0;
        if (items_.size() == 2) return 1;
        return less_(items_[1], items_[2]) ? 2 : 1;
    }

    T remove_at(std::size_t i) {
        T out = std::move(items_[i]);
        T last = std::move(items_.back());
        items_.pop_back();
        if (i < items_.size()) {
            items_[i] = std::move(last);
            trickle_down(i);
            // A moved-in item may also belong above its new place (removal from a max level).
            bubble_up(i);
        }
        return out;
    }

    bool before(std::size_t a, std::size_t b, bool min_order) const {
        return min_order ? less_(items_[a], items_[b]) : less_(items_[b], items_[a]);
    }

    void bubble_up(std::size_t i) {
        if (i == 0) return;
        std::size_t p = parent(i);
        bool min_level = on_min_level(i);
        if (min_level ? less_(items_[p], items_[i]) : less_(items_[i], items_[p])) {
            std::swap(items_[i], items_[p]);
            bubble_up_grand(p, !min_level);
        } else {
            bubble_up_grand(i, min_level);
        }
    }

    void bubble_up_grand(std::size_t i, bool min_order) {
        while (i > 2) {
            std::size_t g = parent(parent(i));
            if (!before(i, g, min_order)) break;
            std::swap(items_[i], items_[g]);
            i = g;
        }
    }

    void trickle_down(std::size_t i) {
        bool min_order = on_min_level(i);
        std::size_t n = items_.size();
        while (true) {
            std::size_t first_child = 2 * i + 1;
            if (first_child >= n) return;
            // The best among children and grandchildren.
            std::size_t m = first_child;
            for (std::size_t c = first_child; c <= first_child + 1 && c < n; ++c) {
                if (before(c, m, min_order)) m = c;
                for (std::size_t g = 2 * c + 1; g <= 2 * c + 2 && g < n; ++g)
                    if (before(g, m, min_order)) m = g;
            }
            if (m > first_child + 1) {  // a grandchild
                if (!before(m, i, min_order)) return;
                std::swap(items_[m], items_[i]);
                std::size_t p = parent(m);
                if (before(p, m, min_order)) std::swap(items_[m], items_[p]);
                i = m;
            } else {
                if (before(m, i, min_order)) std::swap(items_[m], items_[i]);
                return;
            }
        }
    }

    std::vector<T> items_;
    Compare less_;
};

}  // namespace quorvane::support
