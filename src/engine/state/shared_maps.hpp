// The maps a state shares with its parent until it changes them: its running actions
// and its active durative conditions.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

// A running action: the index of its next event and that event's instance number.
struct RunningEntry {
    std::uint64_t next_event = 0;
    std::uint32_t instance = 0;
};

// The running actions (a state's `todo`): each with its next event.
using RunningMap = boost::unordered_flat_map<Action, RunningEntry, support::FxHash<Action>>;
// Multiset of durative conditions: a count per distinct expression.
using ConditionMultiset = boost::unordered_flat_map<FlatExpr, std::uint64_t, FlatExprHash, FlatExprEq>;

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
        if (o.b_) o.b_->refs.fetch_add(1, std::memory_order_relaxed);
        drop();
        b_ = o.b_;
        return *this;
    }
    ~SharedMap() { drop(); }

    const Map& map() const noexcept { return b_ ? b_->map : empty_map(); }
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
    static const Map& empty_map() noexcept {
        static const Map empty;
        return empty;
    }
    void drop() noexcept {
        if (b_ && b_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete b_;
        b_ = nullptr;
    }
    Block* b_ = nullptr;
};
}  // namespace state_detail

// The running actions of a state, by action.
using RunningActions = state_detail::SharedMap<RunningMap>;

// The same actions running, each at the same next event (instance numbers aside).
bool same_running(const RunningActions& a, const RunningActions& b) noexcept;

// The active durative conditions of a state.
class ActiveConditions : public state_detail::SharedMap<ConditionMultiset> {
  public:
    // One more occurrence of `condition`.
    void add(const FlatExpr& condition) { ++edit()[condition]; }
    // One occurrence fewer; nothing when there is none.
    void remove_one(const FlatExpr& condition) {
        if (!contains(condition)) return;
        ConditionMultiset& m = edit();
        auto it = m.find(condition);
        if (--it->second == 0) m.erase(it);
        shrink_if_empty();
    }
};

}  // namespace quorvane
