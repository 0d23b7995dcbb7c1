// A persistent vector: a 32-way trie whose nodes carry atomic reference counts.
// Copying a vector is constant time (one count), an update copies only the nodes
// on the path to the touched element, and vectors share everything else.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "engine/errors.hpp"

namespace quorvane::support {

template <class T>
class PersistentVector {
    static constexpr unsigned kBits = 5;
    static constexpr std::size_t kWidth = std::size_t{1} << kBits;
    static constexpr std::size_t kMask = kWidth - 1;

    struct Node {
        std::atomic<std::uint32_t> refs{1};
        bool leaf;
        explicit Node(bool is_leaf) : leaf(is_leaf) {}
    };
    struct Inner : Node {
        Node* child[kWidth] = {};
        Inner() : Node(false) {}
    };
    struct Leaf : Node {
        std::uint32_t count = 0;
        alignas(T) unsigned char storage[kWidth * sizeof(T)];
        Leaf() : Node(true) {}
        T* items() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }
        const T* items() const noexcept { return std::launder(reinterpret_cast<const T*>(storage)); }
        ~Leaf() {
            for (std::uint32_t i = 0; i < count; ++i) items()[i].~T();
        }
    };

    static void retain(Node* n) noexcept {
        if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
    }
    static void release(Node* n) noexcept {
        if (!n || n->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
        if (n->leaf) {
            delete static_cast<Leaf*>(n);
        } else {
            auto* in = static_cast<Inner*>(n);
            for (Node* c : in->child) release(c);  // depth is at most 13 levels
            delete in;
        }
    }
    static Node* copy_node(const Node* n) {
        if (n->leaf) {
            auto* src = static_cast<const Leaf*>(n);
            auto* out = new Leaf();
            for (std::uint32_t i = 0; i < src->count; ++i) {
                new (out->items() + i) T(src->items()[i]);
                ++out->count;
            }
            return out;
        }
        auto* src = static_cast<const Inner*>(n);
        auto* out = new Inner();
        for (std::size_t i = 0; i < kWidth; ++i) {
            out->child[i] = src->child[i];
            retain(out->child[i]);
        }
        return out;
    }

  public:
    using value_type = T;

    PersistentVector() noexcept = default;
    explicit PersistentVector(const std::vector<T>& items) { build(items.begin(), items.end()); }
    explicit PersistentVector(std::vector<T>&& items) {
        build(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
    PersistentVector(const PersistentVector& o) noexcept : root_(o.root_), shift_(o.shift_), size_(o.size_) {
        retain(root_);
    }
    PersistentVector(PersistentVector&& o) noexcept : root_(o.root_), shift_(o.shift_), size_(o.size_) {
        o.root_ = nullptr;
        o.size_ = 0;
        o.shift_ = 0;
    }
    PersistentVector& operator=(PersistentVector o) noexcept {
        swap(o);
        return *this;
    }
    ~PersistentVector() { release(root_); }

    void swap(PersistentVector& o) noexcept {
        std::swap(root_, o.root_);
        std::swap(shift_, o.shift_);
        std::swap(size_, o.size_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    const T& operator[](std::size_t i) const noexcept { return leaf_for(i)->items()[i & kMask]; }
    const T& at(std::size_t i) const {
        QV_REQUIRE(i < size_, "persistent vector index out of range");
        return (*this)[i];
    }

    // A new vector with element i replaced; this one is unchanged.
    PersistentVector set(std::size_t i, T value) const {
        PersistentVector out(*this);
        out.set_in_place(i, std::move(value));
        return out;
    }

    // Replaces element i in this vector. Nodes that only this vector reaches are
    // changed in place; shared ones are copied first, so other vectors never change.
    void set_in_place(std::size_t i, T value) {
        QV_REQUIRE(i < size_, "persistent vector index out of range");
        Node** slot = &root_;
        for (unsigned level = shift_;; level -= kBits) {
            Node* n = *slot;
            if (n->refs.load(std::memory_order_acquire) != 1) {
                Node* copy = copy_node(n);
                release(n);
                *slot = n = copy;
            }
            if (level == 0) {
                static_cast<Leaf*>(n)->items()[i & kMask] = std::move(value);
                return;
            }
            slot = &static_cast<Inner*>(n)->child[(i >> level) & kMask];
        }
    }

    void push_back(T value) {
        if (!root_) {
            auto* leaf = new Leaf();
            new (leaf->items()) T(std::move(value));
            leaf->count = 1;
            root_ = leaf;
            size_ = 1;
            return;
        }
        if (size_ == capacity()) {  // the trie is full: grow a level
            auto* top = new Inner();
            top->child[0] = root_;
            root_ = top;
            shift_ += kBits;
        }
        std::size_t i = size_;
        Node** slot = &root_;
        for (unsigned level = shift_;; level -= kBits) {
            Node* n = *slot;
            if (!n) {
                n = level == 0 ? static_cast<Node*>(new Leaf()) : static_cast<Node*>(new Inner());
                *slot = n;
            } else if (n->refs.load(std::memory_order_acquire) != 1) {
                Node* copy = copy_node(n);
                release(n);
                *slot = n = copy;
            }
            if (level == 0) {
                auto* leaf = static_cast<Leaf*>(n);
                new (leaf->items() + leaf->count) T(std::move(value));
                ++leaf->count;
                break;
            }
            slot = &static_cast<Inner*>(n)->child[(i >> level) & kMask];
        }
        ++size_;
    }

    // True when both vectors hold equal elements; subtrees they share are not compared.
    friend bool operator==(const PersistentVector& a, const PersistentVector& b) {
        if (a.size_ != b.size_) return false;
        if (a.root_ == b.root_) return true;
        return equal_nodes(a.root_, b.root_, a.shift_);
    }

    class const_iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;
        const_iterator() = default;
        const_iterator(const PersistentVector* v, std::size_t i) : v_(v), i_(i) { load(); }
        const T& operator*() const { return leaf_->items()[i_ & kMask]; }
        const T* operator->() const { return &**this; }
        const_iterator& operator++() {
            ++i_;
            if ((i_ & kMask) == 0) load();
            return *this;
        }
        const_iterator operator++(int) {
            auto r = *this;
            ++*this;
            return r;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.i_ == b.i_; }

      private:
        void load() { leaf_ = (v_ && i_ < v_->size_) ? v_->leaf_for(i_) : nullptr; }
        const PersistentVector* v_ = nullptr;
        std::size_t i_ = 0;
        const Leaf* leaf_ = nullptr;
    };
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size_); }

    // For tests: whether element i lives in the same leaf in both vectors.
    bool shares_leaf_with(const PersistentVector& o, std::size_t i) const {
        return i < size_ && i < o.size_ && leaf_for(i) == o.leaf_for(i);
    }

  private:
    std::size_t capacity() const noexcept { return std::size_t{1} << (shift_ + kBits); }

    const Leaf* leaf_for(std::size_t i) const noexcept {
        const Node* n = root_;
        for (unsigned level = shift_; level > 0; level -= kBits) n = static_cast<const Inner*>(n)->child[(i >> level) & kMask];
        return static_cast<const Leaf*>(n);
    }

    static bool equal_nodes(const Node* a, const Node* b, unsigned level) {
        if (a == b) return true;
        if (!a || !b) return false;
        if (level == 0) {
            auto* la = static_cast<const Leaf*>(a);
            auto* lb = static_cast<const Leaf*>(b);
            if (la->count != lb->count) return false;
            for (std::uint32_t i = 0; i < la->count; ++i)
                if (!(la->items()[i] == lb->items()[i])) return false;
            return true;
        }
        auto* ia = static_cast<const Inner*>(a);
        auto* ib = static_cast<const Inner*>(b);
        for (std::size_t k = 0; k < kWidth; ++k)
            if (!equal_nodes(ia->child[k], ib->child[k], level - kBits)) return false;
        return true;
    }

    template <class It>
    void build(It first, It last) {
        // Fill leaves left to right, then stack inner levels: no per-element path copying.
        std::vector<Node*> level_nodes;
        try {
            while (first != last) {
                auto* leaf = new Leaf();
                level_nodes.push_back(leaf);
                for (; first != last && leaf->count < kWidth; ++first) {
                    new (leaf->items() + leaf->count) T(*first);
                    ++leaf->count;
                    ++size_;
                }
            }
            shift_ = 0;
            while (level_nodes.size() > 1) {
                std::vector<Node*> parents;
                for (std::size_t k = 0; k < level_nodes.size(); k += kWidth) {
                    auto* in = new Inner();
                    parents.push_back(in);
                    for (std::size_t j = 0; j < kWidth && k + j < level_nodes.size(); ++j)
                        in->child[j] = level_nodes[k + j];
                }
                level_nodes = std::move(parents);
                shift_ += kBits;
            }
        } catch (...) {
            for (Node* n : level_nodes) release(n);
            size_ = 0;
            shift_ = 0;
            throw;
        }
        root_ = level_nodes.empty() ? nullptr : level_nodes.front();
    }

    Node* root_ = nullptr;
    unsigned shift_ = 0;  // bits below the root's level; 0 when the root is a leaf
    std::size_t size_ = 0;
};

}  // namespace quorvane::support
