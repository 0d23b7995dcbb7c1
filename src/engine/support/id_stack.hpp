// A stack of 32-bit ids that keeps its room between uses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvane::support {

// A stack of handles or ids that keeps its room: once it has grown, a push is a store.
class IdStack {
  public:
    [[gnu::always_inline]] void push(std::uint32_t x) {
        if (size_ == data_.size()) grow();
        data_[size_++] = x;
    }
    std::uint32_t pop() { return data_[--size_]; }
    std::uint32_t operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    void clear() noexcept { size_ = 0; }
    const std::uint32_t* begin() const noexcept { return data_.data(); }
    const std::uint32_t* end() const noexcept { return data_.data() + size_; }

  private:
    [[gnu::noinline]] void grow() { data_.resize(std::max<std::size_t>(64, 2 * data_.size())); }
    std::vector<std::uint32_t> data_;
    std::size_t size_ = 0;
};

}  // namespace quorvane::support
