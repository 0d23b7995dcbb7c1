// The running actions of a state (its `todo`): each action with its next event, shared
// with the parent until the state changes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <boost/unordered/detail/xmx.hpp>
#include <boost/unordered/hash_traits.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/support/fx_hash.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

// A running action: the index of its next event and that event's instance number. Eight
// bytes: an action's list of events is shorter than 2^32 (a search space checks).
struct RunningEntry {
    std::uint32_t next_event = 0;
    std::uint32_t instance = 0;

    constexpr RunningEntry() noexcept = default;
    constexpr RunningEntry(std::uint64_t next, std::uint32_t inst) noexcept
        : next_event(static_cast<std::uint32_t>(next)), instance(inst) {}
};
static_assert(sizeof(RunningEntry) == 8);

// The hash table the running actions are walked in the order of: the order of a state's
// `todo` and the order in which a step posts its constraints follow its slots.
using RunningMap = boost::unordered_flat_map<Action, RunningEntry, support::FxHash<Action>>;

// The running actions: a map from action to entry, immutable while shared, with exactly
// the contents and the walking order of a RunningMap that went through the same changes
// (and copies of a shared map on its first change).
//
// A RunningMap has at least 30 slots (two groups of 15, one of them the end marker), some
// 520 bytes, however few actions run, and nearly every state of a temporal task changes
// its running actions. Few actions run at once, so the entries are kept in a small
// block of their own instead, each with the slot a RunningMap would give it: while at
// most kCompactLimit actions run, no group of such a table can fill up, so an entry's
// slot is the lowest free one in the group its hash picks, and the order is the order
// of the slots. A map that grows beyond that becomes a RunningMap laid out slot for slot
// like the block, and turns back into a block when it is next copied small.
class RunningActions {
  public:
    using key_type = Action;
    using mapped_type = RunningEntry;
    using value_type = std::pair<const Action, RunningEntry>;
    static constexpr std::size_t kCompactLimit = 14;

    class const_iterator {
      public:
        using value_type = RunningActions::value_type;
        using difference_type = std::ptrdiff_t;
        using reference = const value_type&;
        using pointer = const value_type*;

        const_iterator() = default;
        reference operator*() const noexcept { return p_ ? *p_ : *it_; }
        pointer operator->() const noexcept { return &**this; }
        const_iterator& operator++() noexcept {
            if (p_) ++p_;
            else ++it_;
            return *this;
        }
        const_iterator operator++(int) noexcept {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
            return a.p_ == b.p_ && (a.p_ || a.it_ == b.it_);
        }

      private:
        friend class RunningActions;
        explicit const_iterator(const value_type* p) noexcept : p_(p) {}
        explicit const_iterator(RunningMap::const_iterator it) noexcept : it_(it) {}
        const value_type* p_ = nullptr;  // into a block; null for a table
        RunningMap::const_iterator it_{};
    };
    using iterator = const_iterator;

    RunningActions() noexcept = default;
    RunningActions(const RunningActions& o) noexcept : b_(o.b_) { retain(b_); }
    RunningActions(RunningActions&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
    RunningActions& operator=(const RunningActions& o) noexcept {
        Header* b = o.b_;  // read first: `o` may be this map
        retain(b);
        drop();
        b_ = b;
        return *this;
    }
    RunningActions& operator=(RunningActions&& o) noexcept {
        if (this != &o) {
            drop();
            b_ = std::exchange(o.b_, nullptr);
        }
        return *this;
    }
    ~RunningActions() { drop(); }

    const_iterator begin() const noexcept {
        if (const Block* k = block()) return const_iterator(k->items());
        return b_ ? const_iterator(table()->map.begin()) : const_iterator();
    }
    const_iterator end() const noexcept {
        if (const Block* k = block()) return const_iterator(k->items() + k->count);
        return b_ ? const_iterator(table()->map.end()) : const_iterator();
    }
    const_iterator find(Action a) const noexcept {
        if (const Block* k = block()) {
            const value_type* p = k->items();
            const value_type* e = p + k->count;
            while (p != e && p->first != a) ++p;
            return const_iterator(p);
        }
        return b_ ? const_iterator(table()->map.find(a)) : const_iterator();
    }
    bool contains(Action a) const noexcept { return find(a) != end(); }
    // The entry of `a`, which must run.
    const RunningEntry& at(Action a) const;
    std::size_t size() const noexcept {
        if (const Block* k = block()) return k->count;
        return b_ ? table()->map.size() : 0;
    }
    bool empty() const noexcept { return size() == 0; }
    // Whether both hold the same shared map (or are both empty).
    bool shares(const RunningActions& o) const noexcept { return b_ == o.b_; }

    // --- changes: a shared map is copied on its first change ---
    void insert_or_assign(Action a, RunningEntry e);
    // The entry of `a`, made (zero) when `a` does not run.
    RunningEntry& operator[](Action a);
    // Erases `a`; a map that becomes empty is released.
    bool erase(Action a);
    void clear() noexcept { drop(); }
    // Room for n actions, as RunningMap::reserve makes it (another room, another order).
    void reserve(std::size_t n);

  private:
    struct Header {
        std::atomic<std::uint32_t> refs{1};
        bool is_table = false;
    };
    // At most kCompactLimit entries, in the order of their slots; the 30 slots of a
    // RunningMap's smallest table are numbered 0-14 (first group) and 15-29 (second
    // group, whose last slot is the end marker).
    struct Block : Header {
        std::uint8_t count = 0, capacity = 0;
        std::uint8_t slot[kCompactLimit] = {};
        // The entries follow.
        value_type* items() noexcept { return reinterpret_cast<value_type*>(this + 1); }
        const value_type* items() const noexcept { return reinterpret_cast<const value_type*>(this + 1); }
    };
    static_assert(sizeof(Block) % alignof(value_type) == 0);
    struct Table : Header {
        Table() noexcept { is_table = true; }
        RunningMap map;
    };
    static constexpr std::uint8_t kGroupSlots = 15;

    // The group of the smallest table that `a`'s hash picks, as RunningMap picks it.
    static unsigned group_of(Action a) noexcept {
        std::size_t h = support::FxHash<Action>{}(a);
        if constexpr (!boost::unordered::hash_is_avalanching<support::FxHash<Action>>::value)
            h = boost::unordered::detail::xmx(h);
        return static_cast<unsigned>(h >> (sizeof(std::size_t) * 8 - 1));
    }
    static Block* make_block(std::size_t capacity);
    static void retain(Header* h) noexcept {
        if (h) h->refs.fetch_add(1, std::memory_order_relaxed);
    }
    void drop() noexcept;
    Block* block() const noexcept { return b_ && !b_->is_table ? static_cast<Block*>(b_) : nullptr; }
    Table* table() const noexcept { return static_cast<Table*>(b_); }
    // The map as a RunningMap of its own, laid out slot for slot as it stands.
    void become_table();
    // A map of this one's own (copying a shared one), with room for `extra` more entries
    // while it is a block.
    void make_unique(std::size_t extra);
    template <class Range>
    static Block* copy_small(const Range& from, std::size_t capacity);
    // Enters `a`, which does not run, into a map of this one's own with room for it.
    RunningEntry& insert_new(Action a, RunningEntry e);

    Header* b_ = nullptr;
};

// The same actions running, each at the same next event (instance numbers aside).
bool same_running(const RunningActions& a, const RunningActions& b) noexcept;

}  // namespace quorvane
