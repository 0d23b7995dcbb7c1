// An immutable vector with structural sharing: a 32-way radix trie of full leaves
// plus a tail leaf that takes appends. Copies share every node; an update copies
// only the nodes on the path to the changed slot, so a search state that differs
// from its parent in one fluent costs a few small allocations, not a full copy.
//
// Nodes carry atomic reference counts, so versions may be copied and released on
// any thread. A node is changed in place only while exactly one version refers to
// it; every node reachable from two versions is immutable.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/errors.hpp"

namespace quorvane::support {

namespace pv_detail {

inline constexpr unsigned kBits = 5;
inline constexpr std::size_t kWidth = std::size_t{1} << kBits;
inline constexpr std::size_t kMask = kWidth - 1;

struct NodeHeader {
    explicit NodeHeader(bool is_leaf) noexcept : leaf(is_leaf) {}
    std::atomic<std::size_t> refs{1};
    const bool leaf;
    std::uint32_t count = 0;  // elements of a leaf, children of an inner node

    void retain() noexcept { refs.fetch_add(1, std::memory_order_relaxed); }
    bool unique() const noexcept { return refs.load(std::memory_order_acquire) == 1; }
};

struct Inner : NodeHeader {
    Inner() noexcept : NodeHeader(false) {}
    NodeHeader* child[kWidth] = {};
};

template <class T>
struct Leaf : NodeHeader {
    Leaf() noexcept : NodeHeader(true) {}
    Leaf(const Leaf&) = delete;
    Leaf& operator=(const Leaf&) = delete;
    ~Leaf() { std::destroy_n(elems(), count); }

    T* elems() noexcept { return reinterpret_cast<T*>(storage); }
    const T* elems() const noexcept { return reinterpret_cast<const T*>(storage); }
    template <class... A>
    void emplace(A&&... args) {
        ::new (static_cast<void*>(storage + count * sizeof(T))) T(std::forward<A>(args)...);
        ++count;  // only after the element exists, so a throwing constructor leaves the leaf sound
    }

    alignas(T) unsigned char storage[kWidth * sizeof(T)];
};

inline Inner* as_inner(NodeHeader* n) noexcept { return static_cast<Inner*>(n); }
template <class T>
Leaf<T>* as_leaf(NodeHeader* n) noexcept {
    return static_cast<Leaf<T>*>(n);
}

// Depth is at most 13 levels for a 64-bit size, so the recursion is bounded.
template <class T>
void release(NodeHeader* n) noexcept {
    if (!n || n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (n->leaf) {
        delete as_leaf<T>(n);
    } else {
        Inner* in = as_inner(n);
        for (std::uint32_t i = 0; i < in->count; ++i) release<T>(in->child[i]);
        delete in;
    }
}

template <class T>
Leaf<T>* clone_leaf(const Leaf<T>& src) {
    auto copy = std::make_unique<Leaf<T>>();
    for (std::uint32_t i = 0; i < src.count; ++i) copy->emplace(src.elems()[i]);
    return copy.release();
}

inline Inner* clone_inner(const Inner& src) {
    auto* copy = new Inner;
    copy->count = src.count;
    for (std::uint32_t i = 0; i < src.count; ++i) {
        copy->child[i] = src.child[i];
        copy->child[i]->retain();
    }
    return copy;
}

// Makes the node in `slot` exclusively ours, copying it when another version shares it.
template <class T>
void own_leaf(NodeHeader*& slot) {
    if (slot->unique()) return;
    NodeHeader* copy = clone_leaf(*as_leaf<T>(slot));
    release<T>(slot);
    slot = copy;
}

template <class T>
void own_inner(NodeHeader*& slot) {
    if (!slot) {
        slot = new Inner;
        return;
    }
    if (slot->unique()) return;
    NodeHeader* copy = clone_inner(*as_inner(slot));
    release<T>(slot);
    slot = copy;
}

// A chain of fresh inner nodes from `level` down to `leaf` (level 0 is the leaf itself).
// On failure the chain is freed and the leaf is left untouched.
inline NodeHeader* new_path(unsigned level, NodeHeader* leaf) {
    NodeHeader* node = leaf;
    try {
        for (unsigned l = kBits; l <= level; l += kBits) {
            auto* parent = new Inner;
            parent->child[0] = node;
            parent->count = 1;
            node = parent;
        }
    } catch (...) {
        while (node != leaf) {
            Inner* in = as_inner(node);
            node = in->child[0];
            delete in;
        }
        throw;
    }
    return node;
}

}  // namespace pv_detail

template <class T>
class PersistentVector {
    using Header = pv_detail::NodeHeader;
    using LeafT = pv_detail::Leaf<T>;
    static constexpr unsigned kBits = pv_detail::kBits;
    static constexpr std::size_t kWidth = pv_detail::kWidth;
    static constexpr std::size_t kMask = pv_detail::kMask;

  public:
    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        const_iterator() noexcept = default;

        reference operator*() const noexcept { return leaf_[index_ & kMask]; }
        pointer operator->() const noexcept { return &leaf_[index_ & kMask]; }
        const_iterator& operator++() noexcept {
            ++index_;
            if ((index_ & kMask) == 0 && index_ < vec_->size_) leaf_ = vec_->leaf_for(index_)->elems();
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
            return a.index_ == b.index_;
        }

      private:
        friend class PersistentVector;
        const_iterator(const PersistentVector* vec, std::size_t index) noexcept : vec_(vec), index_(index) {
            if (index < vec->size_) leaf_ = vec->leaf_for(index)->elems();
        }

        const PersistentVector* vec_ = nullptr;
        const T* leaf_ = nullptr;
        std::size_t index_ = 0;
    };
    using iterator = const_iterator;
    using value_type = T;
    using size_type = std::size_t;

    PersistentVector() noexcept = default;

    // Builds the trie bottom-up: every leaf is filled once, no path is copied.
    explicit PersistentVector(std::vector<T> items) {
        const std::size_t n = items.size();
        if (n == 0) return;
        const std::size_t tail_start = tail_offset_for(n);
        std::vector<Header*> level, parents;  // every node not yet owned by a parent sits in one of them
        level.reserve((tail_start + kWidth - 1) / kWidth);
        try {
            for (std::size_t base = 0; base < tail_start; base += kWidth) {
                auto leaf = std::make_unique<LeafT>();
                for (std::size_t i = 0; i < kWidth; ++i) leaf->emplace(std::move(items[base + i]));
                level.push_back(leaf.release());
            }
            auto tail = std::make_unique<LeafT>();
            for (std::size_t i = tail_start; i < n; ++i) tail->emplace(std::move(items[i]));
            // Group nodes 32 at a time until one root level holds at most 32 of them.
            while (level.size() > kWidth) {
                parents.clear();
                parents.reserve((level.size() + kWidth - 1) / kWidth);
                for (std::size_t base = 0; base < level.size(); base += kWidth) {
                    parents.push_back(new pv_detail::Inner);
                    auto* parent = pv_detail::as_inner(parents.back());
                    for (std::size_t i = base; i < level.size() && i < base + kWidth; ++i) {
                        parent->child[parent->count++] = level[i];
                        level[i] = nullptr;
                    }
                }
                level.swap(parents);
                parents.clear();
                shift_ += kBits;
            }
            if (!level.empty()) {
                auto* root = new pv_detail::Inner;
                for (Header* child : level) root->child[root->count++] = child;
                level.clear();
                root_ = root;
            }
            tail_ = tail.release();
            size_ = n;
        } catch (...) {
            for (Header* node : level) pv_detail::release<T>(node);
            for (Header* node : parents) pv_detail::release<T>(node);
            throw;
        }
    }

    PersistentVector(const PersistentVector& other) noexcept
        : root_(other.root_), tail_(other.tail_), size_(other.size_), shift_(other.shift_) {
        if (root_) root_->retain();
        if (tail_) tail_->retain();
    }
    PersistentVector(PersistentVector&& other) noexcept
        : root_(std::exchange(other.root_, nullptr)),
          tail_(std::exchange(other.tail_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          shift_(std::exchange(other.shift_, kBits)) {}
    PersistentVector& operator=(PersistentVector other) noexcept {
        swap(other);
        return *this;
    }
    ~PersistentVector() {
        pv_detail::release<T>(root_);
        pv_detail::release<T>(tail_);
    }

    void swap(PersistentVector& other) noexcept {
        std::swap(root_, other.root_);
        std::swap(tail_, other.tail_);
        std::swap(size_, other.size_);
        std::swap(shift_, other.shift_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Unchecked: i must be below size().
    const T& operator[](std::size_t i) const noexcept { return leaf_for(i)->elems()[i & kMask]; }
    const T& at(std::size_t i) const {
        QV_REQUIRE(i < size_, out_of_range_message(i));
        return (*this)[i];
    }

    PersistentVector set(std::size_t i, T value) const {
        PersistentVector out(*this);
        out.set_in_place(i, std::move(value));
        return out;
    }

    // Replaces *this by the updated version; nodes only this version holds are
    // changed in place, shared ones are copied along the path.
    void set_in_place(std::size_t i, T value) {
        QV_REQUIRE(i < size_, out_of_range_message(i));
        Header** slot;
        if (i >= tail_offset_for(size_)) {
            slot = &tail_;
        } else {
            slot = &root_;
            for (unsigned level = shift_; level > 0; level -= kBits) {
                pv_detail::own_inner<T>(*slot);
                slot = &pv_detail::as_inner(*slot)->child[(i >> level) & kMask];
            }
        }
        pv_detail::own_leaf<T>(*slot);
        pv_detail::as_leaf<T>(*slot)->elems()[i & kMask] = std::move(value);
    }

    // Appends to this vector; like set_in_place, other versions never see the change.
    void push_back(T value) { append(std::move(value)); }

    const_iterator begin() const noexcept { return const_iterator(this, 0); }
    const_iterator end() const noexcept { return const_iterator(this, size_); }

    // For tests of the sharing: whether element i lives in the same leaf in both versions.
    bool shares_leaf_with(const PersistentVector& other, std::size_t i) const noexcept {
        return i < size_ && i < other.size_ && leaf_for(i) == other.leaf_for(i);
    }

    friend bool operator==(const PersistentVector& a, const PersistentVector& b) noexcept(
        noexcept(std::declval<const T&>() == std::declval<const T&>())) {
        // Equal sizes give equal shapes, so the tries can be walked side by side and
        // every subtree the two versions share is skipped whole.
        if (a.size_ != b.size_) return false;
        if (a.size_ == 0) return true;
        return equal_nodes(a.root_, b.root_, a.shift_) && equal_leaves(a.tail_, b.tail_);
    }

  private:
    static std::size_t tail_offset_for(std::size_t n) noexcept { return n < kWidth ? 0 : ((n - 1) >> kBits) << kBits; }

    static std::string out_of_range_message(std::size_t i) {
        return "persistent vector index " + std::to_string(i) + " out of range";
    }

    const LeafT* leaf_for(std::size_t i) const noexcept {
        if (i >= tail_offset_for(size_)) return pv_detail::as_leaf<T>(tail_);
        Header* node = root_;
        for (unsigned level = shift_; level > 0; level -= kBits)
            node = pv_detail::as_inner(node)->child[(i >> level) & kMask];
        return pv_detail::as_leaf<T>(node);
    }

    void append(T value) {
        if (!tail_) {
            auto leaf = std::make_unique<LeafT>();
            leaf->emplace(std::move(value));
            tail_ = leaf.release();
            size_ = 1;
            return;
        }
        if (size_ - tail_offset_for(size_) < kWidth) {
            pv_detail::own_leaf<T>(tail_);
            pv_detail::as_leaf<T>(tail_)->emplace(std::move(value));
            ++size_;
            return;
        }
        // The tail is full: it moves into the trie (its reference goes with it) and a
        // new tail takes the value.
        auto new_tail = std::make_unique<LeafT>();
        new_tail->emplace(std::move(value));
        if ((size_ >> kBits) > (std::size_t{1} << shift_)) {
            auto* root = new pv_detail::Inner;
            try {
                root->child[1] = pv_detail::new_path(shift_, tail_);
            } catch (...) {
                delete root;
                throw;
            }
            root->child[0] = root_;
            root->count = 2;
            root_ = root;
            shift_ += kBits;
        } else {
            push_tail(shift_, root_);
        }
        tail_ = new_tail.release();
        ++size_;
    }

    // Hangs the full tail below `slot`, a node at `level`, copying shared nodes on the way.
    void push_tail(unsigned level, Header*& slot) {
        pv_detail::own_inner<T>(slot);
        pv_detail::Inner* node = pv_detail::as_inner(slot);
        const std::size_t sub = ((size_ - 1) >> level) & kMask;
        if (level == kBits) {
            node->child[sub] = tail_;
            node->count = static_cast<std::uint32_t>(sub + 1);
        } else if (sub < node->count) {
            push_tail(level - kBits, node->child[sub]);
        } else {
            node->child[sub] = pv_detail::new_path(level - kBits, tail_);
            node->count = static_cast<std::uint32_t>(sub + 1);
        }
    }

    static bool equal_leaves(const Header* a, const Header* b) noexcept(
        noexcept(std::declval<const T&>() == std::declval<const T&>())) {
        if (a == b) return true;
        const auto* la = static_cast<const LeafT*>(a);
        const auto* lb = static_cast<const LeafT*>(b);
        for (std::uint32_t i = 0; i < la->count; ++i)
            if (!(la->elems()[i] == lb->elems()[i])) return false;
        return true;
    }

    static bool equal_nodes(const Header* a, const Header* b, unsigned level) noexcept(
        noexcept(std::declval<const T&>() == std::declval<const T&>())) {
        if (a == b) return true;  // also both empty
        if (level == 0) return equal_leaves(a, b);
        const auto* ia = static_cast<const pv_detail::Inner*>(a);
        const auto* ib = static_cast<const pv_detail::Inner*>(b);
        for (std::uint32_t i = 0; i < ia->count; ++i)
            if (!equal_nodes(ia->child[i], ib->child[i], level - kBits)) return false;
        return true;
    }

    Header* root_ = nullptr;  // inner node at shift_, or null while everything fits the tail
    Header* tail_ = nullptr;  // the last 1 to 32 elements, null when empty
    std::size_t size_ = 0;
    unsigned shift_ = kBits;
};

// Feeds the elements, in order, to `h`: integers through h.add, other elements
// through their own hash_into(h).
template <class Hasher, class T>
void hash_elements(Hasher& h, const PersistentVector<T>& v) {
    for (const T& e : v) {
        if constexpr (std::is_integral_v<T> || std::is_enum_v<T>)
            h.add(static_cast<std::uint64_t>(e));
        else
            e.hash_into(h);
    }
}

}  // namespace quorvane::support
