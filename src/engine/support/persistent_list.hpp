// An immutable singly linked list with shared tails: what search paths are made of.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "engine/support/errors.hpp"

namespace quorvane {

// Immutable singly linked list with shared tails: appending prepends a node that
// points to the given list, so any number of lists share their common tails. A list is
// one pointer; a node is its value, the pointer to the rest and an atomic count of the
// lists and nodes that hold it, in one allocation.
template <class T>
class PersistentList {
    struct Node {
        T value;
        const Node* next;
        mutable std::atomic<std::uint32_t> refs;
        Node(T v, const Node* n) : value(std::move(v)), next(n), refs(1) {}
    };

    // One node's memory kept back per thread: a search that builds successor after
    // successor in one state lets go of each one's newest node just before it needs the
    // next, so the memory goes round without the allocator.
    struct Spare {
        void* memory = nullptr;
        ~Spare() { ::operator delete(memory); }
    };
    static Spare& spare() noexcept {
        thread_local Spare s;
        return s;
    }
    static const Node* make_node(T value, const Node* next) {
        Spare& s = spare();
        void* memory = s.memory ? std::exchange(s.memory, nullptr) : ::operator new(sizeof(Node));
        try {
            return new (memory) Node(std::move(value), next);
        } catch (...) {
            ::operator delete(memory);
            throw;
        }
    }
    static void free_node(const Node* n) noexcept {
        n->~Node();
        Spare& s = spare();
        if (!s.memory) s.memory = const_cast<Node*>(n);
        else ::operator delete(const_cast<Node*>(n));
    }

    static void retain(const Node* n) noexcept {
        if (n) n->refs.fetch_add(1, std::memory_order_relaxed);
    }
    // Drops one reference to `n`, and every node that only it held: iteratively, so a
    // long unshared tail never recurses.
    static void release(const Node* n) noexcept {
        while (n && n->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            const Node* next = n->next;
            free_node(n);
            n = next;
        }
    }

  public:
    PersistentList() = default;
    PersistentList(const PersistentList& o) noexcept : head_(o.head_) { retain(head_); }
    PersistentList(PersistentList&& o) noexcept : head_(o.head_) { o.head_ = nullptr; }
    PersistentList& operator=(const PersistentList& o) noexcept {
        retain(o.head_);
        release(head_);
        head_ = o.head_;
        return *this;
    }
    PersistentList& operator=(PersistentList&& o) noexcept {
        if (this != &o) {
            release(head_);
            head_ = o.head_;
            o.head_ = nullptr;
        }
        return *this;
    }
    ~PersistentList() { release(head_); }

    PersistentList append(T value) const {
        retain(head_);
        const Node* node;
        try {
            node = make_node(std::move(value), head_);
        } catch (...) {
            release(head_);
            throw;
        }
        return PersistentList(node);
    }
    // Prepends `value` to this very list: the list's reference to its old head passes
    // to the new node.
    void push_front(T value) { head_ = make_node(std::move(value), head_); }
    bool empty() const noexcept { return !head_; }
    // The newest entry; the list must not be empty.
    const T& front() const {
        QV_REQUIRE(head_, "front of an empty list");
        return head_->value;
    }
    // True when both lists start with the same node (so they are the same list).
    bool same_as(const PersistentList& o) const noexcept { return head_ == o.head_; }

    class iterator {
      public:
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(const Node* n) : node_(n) {}
        const T& operator*() const { return node_->value; }
        const T* operator->() const { return &node_->value; }
        iterator& operator++() {
            node_ = node_->next;
            return *this;
        }
        iterator operator++(int) {
            auto r = *this;
            ++*this;
            return r;
        }
        friend bool operator==(iterator a, iterator b) noexcept { return a.node_ == b.node_; }

      private:
        const Node* node_ = nullptr;
    };

    struct Range {
        const Node* head;
        iterator begin() const { return iterator(head); }
        iterator end() const { return iterator(); }
    };
    // From the newest entry to the oldest.
    Range iter_rev() const noexcept { return Range{head_}; }

  private:
    // Takes over one reference to `head`.
    explicit PersistentList(const Node* head) noexcept : head_(head) {}
    const Node* head_ = nullptr;
};

}  // namespace quorvane
