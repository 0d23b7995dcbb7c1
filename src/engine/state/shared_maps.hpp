// The maps a state shares with its parent until it changes them: its active durative
// conditions (its running actions are in running_actions.hpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/support/fx_hash.hpp"

namespace quorvane {

// A durative condition's expression, made once and shared by counting: a search space
// makes one per distinct condition of its events, and every state that holds the
// condition holds a reference, so a copy of a state's conditions copies no nodes and a
// state keeps its conditions after its search space is gone. Two references are the same
// condition when their expressions are equal, whoever made them.
class ConditionRef {
  public:
    // A condition of its own (a search space shares one per distinct expression instead);
    // implicit, so that a map of conditions can be filled from expressions.
    ConditionRef(const FlatExpr& expr) : p_(new Data(expr)) {}
    ConditionRef(const ConditionRef& o) noexcept : p_(o.p_) { p_->refs.fetch_add(1, std::memory_order_relaxed); }
    ConditionRef& operator=(const ConditionRef& o) noexcept {
        o.p_->refs.fetch_add(1, std::memory_order_relaxed);
        drop();
        p_ = o.p_;
        return *this;
    }
    ~ConditionRef() { drop(); }

    const FlatExpr& expr() const noexcept { return p_->expr; }
    // expr_hash(expr()), computed once.
    std::uint64_t hash() const noexcept { return p_->hash; }
    bool same_object(const ConditionRef& o) const noexcept { return p_ == o.p_; }
    friend bool operator==(const ConditionRef& a, const ConditionRef& b) noexcept {
        return a.p_ == b.p_ || (a.p_->hash == b.p_->hash && a.p_->expr == b.p_->expr);
    }

  private:
    struct Data {
        explicit Data(const FlatExpr& e) : hash(expr_hash(e)), expr(e) {}
        std::atomic<std::uint32_t> refs{1};
        std::uint64_t hash;
        FlatExpr expr;
    };
    void drop() noexcept {
        if (p_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
    }
    Data* p_;
};

// The hash of a condition's expression, as FlatExprHash gives it: the maps keyed by
// conditions lay out and walk their entries as they would keyed by the expressions.
struct ConditionRefHash {
    std::size_t operator()(const ConditionRef& c) const noexcept { return c.hash(); }
};

// Multiset of durative conditions: a count per distinct expression.
using ConditionMultiset = boost::unordered_flat_map<ConditionRef, std::uint64_t, ConditionRefHash>;

namespace state_detail {
// An immutable map shared by the states that have not changed it since; a state that
// changes it first takes a copy of its own (unless it holds the only reference). Null
// while empty.
template <class Map>
class SharedMap {
    struct Block {
        std::atomic<std::uint32_t> refs{1};
        Map map;
    };

  public:
    using const_iterator = typename Map::const_iterator;
    using iterator = const_iterator;
    using key_type = typename Map::key_type;
    using mapped_type = typename Map::mapped_type;

    SharedMap() noexcept = default;
    SharedMap(const SharedMap& o) noexcept : b_(o.b_) {
        if (b_) b_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedMap& operator=(const SharedMap& o) noexcept {
        Block* b = o.b_;  // read first: `o` may be this map
        if (b) b->refs.fetch_add(1, std::memory_order_relaxed);
        drop();
        b_ = b;
        return *this;
    }
    ~SharedMap() { drop(); }

    const Map& map() const noexcept { return b_ ? b_->map : kEmpty; }
    const_iterator begin() const noexcept { return map().begin(); }
    const_iterator end() const noexcept { return map().end(); }
    template <class K>
    const_iterator find(const K& k) const {
        return map().find(k);
    }
    template <class K>
    bool contains(const K& k) const {
        return b_ && b_->map.contains(k);
    }
    template <class K>
    const mapped_type& at(const K& k) const {
        return map().at(k);
    }
    std::size_t size() const noexcept { return b_ ? b_->map.size() : 0; }
    bool empty() const noexcept { return !b_ || b_->map.empty(); }
    // Whether both hold the same shared map (or are both empty).
    bool shares(const SharedMap& o) const noexcept { return b_ == o.b_; }

    // --- changes: copy on the first change ---
    Map& edit() {
        if (!b_) {
            b_ = new Block;
        } else if (b_->refs.load(std::memory_order_acquire) != 1) {
            Block* copy = new Block;
            try {
                copy->map = b_->map;
            } catch (...) {
                delete copy;
                throw;
            }
            drop();
            b_ = copy;
        }
        return b_->map;
    }
    mapped_type& operator[](const key_type& k) { return edit()[k]; }
    template <class M>
    void insert_or_assign(const key_type& k, M&& m) {
        edit().insert_or_assign(k, std::forward<M>(m));
    }
    // Erases `k`; a map that becomes empty is released.
    template <class K>
    bool erase(const K& k) {
        if (!contains(k)) return false;
        edit().erase(k);
        shrink_if_empty();
        return true;
    }
    void clear() noexcept { drop(); }
    void reserve(std::size_t n) { edit().reserve(n); }
    void shrink_if_empty() noexcept {
        if (b_ && b_->map.empty()) drop();
    }

  private:
    // A static member rather than a function's static: reading it needs no guard check.
    static inline const Map kEmpty{};
    void drop() noexcept {
        if (b_ && b_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b_;
        b_ = nullptr;
    }
    Block* b_ = nullptr;
};
}  // namespace state_detail

// The active durative conditions of a state.
class ActiveConditions : public state_detail::SharedMap<ConditionMultiset> {
  public:
    // One more occurrence of `condition`.
    void add(const ConditionRef& condition) { ++edit()[condition]; }
    // One occurrence fewer; nothing when there is none.
    void remove_one(const ConditionRef& condition) {
        if (!contains(condition)) return;
        ConditionMultiset& m = edit();
        auto it = m.find(condition);
        if (--it->second == 0) m.erase(it);
        shrink_if_empty();
    }
};

}  // namespace quorvane
