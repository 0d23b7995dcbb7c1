// State layouts: where each fluent's value lives among a state's words, and the counted
// reference that keeps a layout alive.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorvane {

class StateLayout;

// A counted reference to a layout: a layout lives as long as a search space or a state
// uses it.
class LayoutPtr {
  public:
    LayoutPtr() noexcept = default;
    LayoutPtr(std::nullptr_t) noexcept {}  // NOLINT: implicit on purpose
    LayoutPtr(const LayoutPtr& o) noexcept;
    LayoutPtr(LayoutPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    LayoutPtr& operator=(LayoutPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~LayoutPtr();
    const StateLayout* get() const noexcept { return p_; }
    const StateLayout& operator*() const noexcept { return *p_; }
    const StateLayout* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    friend bool operator==(const LayoutPtr& a, const LayoutPtr& b) noexcept { return a.p_ == b.p_; }

  private:
    friend class StateLayout;
    explicit LayoutPtr(const StateLayout* p) noexcept : p_(p) {}  // takes over one reference
    const StateLayout* p_ = nullptr;
};

// Where each fluent's value lives among a state's words: the bits of the boolean
// fluents first, then one cell per other fluent.
class StateLayout {
  public:
    // `bits[f]`: fluent f only ever holds a boolean and gets one bit.
    static LayoutPtr make(const std::vector<bool>& bits);
    // One cell per fluent.
    static LayoutPtr cells_only(std::size_t fluents);

    std::size_t num_fluents() const noexcept { return slots_.size(); }
    std::size_t num_words() const noexcept { return words_; }
    // Words [cell_begin, num_words) are cells.
    std::size_t cell_begin() const noexcept { return cell_begin_; }
    bool cells_only() const noexcept { return cell_begin_ == 0; }
    bool is_bit(std::uint64_t f) const noexcept { return slots_[f] & 1; }
    // For a bit slot, the bit index over the words; for a cell slot, the word index.
    std::uint32_t index(std::uint64_t f) const noexcept { return slots_[f] >> 1; }
    // Unique over the process: keys made from words carry it.
    std::uint64_t id() const noexcept { return id_; }
    // Same fluents in the same slots.
    bool same_shape(const StateLayout& o) const noexcept {
        return this == &o || (words_ == o.words_ && cell_begin_ == o.cell_begin_ && slots_ == o.slots_);
    }

  private:
    friend class LayoutPtr;
    StateLayout() = default;
    std::vector<std::uint32_t> slots_;  // (index << 1) | is_bit
    std::size_t words_ = 0;
    std::size_t cell_begin_ = 0;
    std::uint64_t id_ = 0;
    // Every state made or dropped counts here, from every thread that searches: the
    // count has a cache line of its own, so that it does not evict the fields above,
    // which every fluent read looks at.
    alignas(64) mutable std::atomic<std::uint32_t> refs_{1};
};

inline LayoutPtr::LayoutPtr(const LayoutPtr& o) noexcept : p_(o.p_) {
    if (p_) p_->refs_.fetch_add(1, std::memory_order_relaxed);
}
inline LayoutPtr::~LayoutPtr() {
    if (p_ && p_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
}

}  // namespace quorvane
