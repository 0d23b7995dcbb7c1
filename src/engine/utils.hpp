// Small shared pieces: exact rationals from machine integers, the persistent
// list that search paths are made of, and the error of index arithmetic.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/errors.hpp"
#include "engine/support/number.hpp"

namespace quorvane {

// n/d reduced to lowest terms with a positive denominator; d must not be 0.
inline Rational mk_rational(std::int32_t n, std::int32_t d) {
    QV_REQUIRE(d != 0, "a rational needs a non-zero denominator");
    return Rational::from_int32(n, d);
}

// The error of index arithmetic on flat expressions; its only variant is Overflow.
enum class ArithmeticError { Overflow };
inline const char* debug_text(ArithmeticError) noexcept { return "Overflow"; }

// Immutable singly linked list with shared tails: appending prepends a node that
// points to the given list, so any number of lists share their common tails.
template <class T>
class PersistentList {
    struct Node {
        T value;
        // Mutable only so that the destructor can unlink the tail without recursion.
        mutable std::shared_ptr<const Node> next;
        Node(T v, std::shared_ptr<const Node> n) : value(std::move(v)), next(std::move(n)) {}
        ~Node() {
            // Release the tail iteratively: a long unshared tail must not recurse.
            std::shared_ptr<const Node> rest = std::move(next);
            while (rest && rest.use_count() == 1) {
                auto after = std::move(rest->next);
                rest = std::move(after);
            }
        }
    };

  public:
    PersistentList() = default;

    PersistentList append(T value) const {
        return PersistentList(std::make_shared<const Node>(std::move(value), head_));
    }
    bool empty() const noexcept { return !head_; }
    // The newest entry; the list must not be empty.
    const T& front() const {
        QV_REQUIRE(head_, "front of an empty list");
        return head_->value;
    }
    PersistentList rest() const {
        QV_REQUIRE(head_, "rest of an empty list");
        return PersistentList(head_->next);
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
            node_ = node_->next.get();
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
    Range iter_rev() const noexcept { return Range{head_.get()}; }

  private:
    explicit PersistentList(std::shared_ptr<const Node> head) : head_(std::move(head)) {}
    std::shared_ptr<const Node> head_;
};

}  // namespace quorvane
