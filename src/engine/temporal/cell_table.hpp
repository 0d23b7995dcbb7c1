// The persistent array of a search network's points (a radix trie), which copies of the
// network share.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace quorvane {

namespace search_network_detail {

// A point's potential and what its out-edges are made of. `info` is a `const PointInfo*`,
// or a `const AppliedEvent*` with the low bit set once the point's event has been applied.
struct PointSlot {
    double potential = 0.0;
    std::uintptr_t info = 0;
};
static_assert(sizeof(PointSlot) == 16, "a point costs 16 bytes in every copy that changes it");

// A persistent array of cells: a radix trie with 8 cells per leaf and 8 children per
// inner node. Copies share every node; a change copies only the nodes on the path to
// its cell (a node is changed in place while exactly one array refers to it), so a
// successor that moves a few points copies a few hundred bytes, whatever the size.
class CellTable {
  public:
    CellTable() noexcept = default;
    CellTable(const CellTable& o) noexcept : root_(o.root_), size_(o.size_), levels_(o.levels_) { retain(root_); }
    CellTable(CellTable&& o) noexcept
        : root_(std::exchange(o.root_, nullptr)), size_(std::exchange(o.size_, 0)), levels_(std::exchange(o.levels_, 0)) {}
    CellTable& operator=(const CellTable& o) noexcept {
        CellTable copy(o);
        swap(copy);
        return *this;
    }
    CellTable& operator=(CellTable&& o) noexcept {
        CellTable moved(std::move(o));
        swap(moved);
        return *this;
    }
    ~CellTable() { release(root_, levels_); }

    std::uint32_t size() const noexcept { return size_; }
    const PointSlot& get(std::uint32_t i) const noexcept {
        const Node* n = root_;
        for (unsigned level = levels_; level > 0; --level) n = static_cast<const Inner*>(n)->child[slot(i, level)];
        return static_cast<const Leaf*>(n)->cells[i & kLeafMask];
    }
    // The cell for writing; copies the shared nodes on its path first.
    PointSlot& mut(std::uint32_t i) { return unique_path(i); }
    void push_back(const PointSlot& c);

  private:
    static constexpr unsigned kLeafBits = 3, kInnerBits = 3;
    static constexpr std::uint32_t kLeafMask = (1u << kLeafBits) - 1, kInnerMask = (1u << kInnerBits) - 1;
    struct Node {
        std::atomic<std::uint32_t> refs{1};
    };
    struct Leaf : Node {
        PointSlot cells[1u << kLeafBits] = {};
    };
    struct Inner : Node {
        Node* child[1u << kInnerBits] = {};
    };

    static unsigned slot(std::uint32_t i, unsigned level) noexcept {
        return (i >> (kLeafBits + (level - 1) * kInnerBits)) & kInnerMask;
    }
    static void retain(Node* n) noexcept {
        if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
    }
    // The trie is at most a dozen levels deep, so the recursion is bounded.
    static void release(Node* n, unsigned level) noexcept;
    void swap(CellTable& o) noexcept {
        std::swap(root_, o.root_);
        std::swap(size_, o.size_);
        std::swap(levels_, o.levels_);
    }
    PointSlot& unique_path(std::uint32_t i);

    Node* root_ = nullptr;
    std::uint32_t size_ = 0;
    unsigned levels_ = 0;  // inner levels above the leaves
};

}  // namespace search_network_detail

}  // namespace quorvane
