// A monotone priority queue of 32-bit ids by non-negative cost: integral costs in
// buckets, any other cost in a binary heap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/support/id_stack.hpp"

namespace quorvane::support {

// A monotone priority queue of handles by cost: integer costs (nearly all of them) in
// buckets, any other cost in a binary heap. Entries are not removed when a handle's
// cost drops; the stale one is skipped when it comes out.
class CostQueue {
  public:
    static constexpr std::uint32_t kBuckets = 4096;

    [[gnu::always_inline]] void push(double key, std::uint32_t h) {
        if (key < static_cast<double>(kBuckets)) {
            const auto b = static_cast<std::uint32_t>(key);  // 0 <= key: costs are never negative
            if (static_cast<double>(b) == key) {
                if (b >= buckets_.size()) buckets_.resize(b + 1);
                buckets_[b].push(h);
                first_ = std::min(first_, b);
                end_ = std::max(end_, b + 1);
                return;
            }
        }
        heap_.emplace_back(key, h);
        std::push_heap(heap_.begin(), heap_.end(), Later{});
    }
    bool pop(double& key, std::uint32_t& h) {
        while (first_ < end_ && buckets_[first_].empty()) ++first_;
        const bool bucket = first_ < end_;
        if (!heap_.empty() && (!bucket || heap_.front().first < static_cast<double>(first_))) {
            std::pop_heap(heap_.begin(), heap_.end(), Later{});
            key = heap_.back().first;
            h = heap_.back().second;
            heap_.pop_back();
            return true;
        }
        if (!bucket) return false;
        key = static_cast<double>(first_);
        h = buckets_[first_].pop();
        return true;
    }
    void clear() {
        for (std::uint32_t b = 0; b < end_; ++b) buckets_[b].clear();
        first_ = end_ = 0;
        heap_.clear();
    }

  private:
    struct Later {
        bool operator()(const std::pair<double, std::uint32_t>& a, const std::pair<double, std::uint32_t>& b) const {
            return a.first > b.first;
        }
    };
    std::vector<IdStack> buckets_;
    std::uint32_t first_ = 0, end_ = 0;  // only buckets [first_, end_) may hold entries
    std::vector<std::pair<double, std::uint32_t>> heap_;
};

}  // namespace quorvane::support
