// The search state: fluent values, running actions, active durative conditions,
// the temporal network, cost and path, plus a small cache of heuristic values.
//
// A state is one allocation: a fixed header followed by its fluent values packed into
// 64-bit words, as the state's layout says. A layout gives every fluent a slot, either
// one bit (a fluent that only ever holds a boolean) or one 8-byte value cell. A search
// space derives its layout once, from its initial state and from what its effects can
// write; any value that does not fit that layout makes the state fall back to a
// layout of cells only. Everything else a child takes unchanged from its parent is
// shared: the path tail, and the running actions and active conditions until the
// child changes them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <type_traits>
#include <utility>

#include "engine/expressions/node.hpp"
#include "engine/state/cell.hpp"
#include "engine/state/heuristic_cache.hpp"
#include "engine/state/layout.hpp"
#include "engine/state/network_slot.hpp"
#include "engine/state/running_actions.hpp"
#include "engine/state/shared_maps.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/persistent_list.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

// One applied event: its action, its position in the action's list and its instance number.
struct PathEntry {
    Action action;
    std::uint64_t pos = 0;
    std::uint32_t instance = 0;
};

class State;

// The fluent values of a state, read by fluent index. Values come out as nodes, built
// on the way; `cell` reads the packed form.
class StateValues {
  public:
    std::size_t size() const noexcept { return layout_->num_fluents(); }
    const StateLayout& layout() const noexcept { return *layout_; }
    const LayoutPtr& layout_ptr() const noexcept { return layout_; }
    const std::uint64_t* words() const noexcept { return reinterpret_cast<const std::uint64_t*>(this + 1); }
    std::size_t num_words() const noexcept { return layout_->num_words(); }

    // The value of fluent f (f < size()).
    Cell cell(std::uint64_t f) const noexcept {
        const std::uint32_t i = layout_->index(f);
        if (layout_->is_bit(f)) return Cell::boolean((words()[i >> 6] >> (i & 63)) & 1);
        return Cell::from_word(words()[i]);
    }
    ExpressionNode operator[](std::uint64_t f) const { return cell(f).decode(); }

    class iterator {
      public:
        using value_type = ExpressionNode;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        iterator(const StateValues* v, std::uint64_t f) : v_(v), f_(f) {}
        ExpressionNode operator*() const { return (*v_)[f_]; }
        iterator& operator++() {
            ++f_;
            return *this;
        }
        iterator operator++(int) {
            auto r = *this;
            ++f_;
            return r;
        }
        friend bool operator==(const iterator& a, const iterator& b) noexcept { return a.f_ == b.f_; }

      private:
        const StateValues* v_ = nullptr;
        std::uint64_t f_ = 0;
    };
    iterator begin() const noexcept { return iterator(this, 0); }
    iterator end() const noexcept { return iterator(this, size()); }

    // Equal values fluent by fluent (the node equality), whatever the two layouts.
    friend bool operator==(const StateValues& a, const StateValues& b) noexcept;

  private:
    friend class State;
    friend class StateBox;
    friend class StateStore;
    std::uint64_t* mutable_words() noexcept { return reinterpret_cast<std::uint64_t*>(this + 1); }
    LayoutPtr layout_;
};

// Whether two runs of words packed in `layout`'s shape hold the same values: equal bits,
// and cells equal as values (a boxed cell by what it holds).
bool same_words(const StateLayout& layout, const std::uint64_t* a, const std::uint64_t* b) noexcept;
// Takes or drops the references of the cells among words packed in `layout`'s shape.
inline void retain_cells(const StateLayout& layout, const std::uint64_t* words) noexcept {
    for (std::size_t i = layout.cell_begin(); i < layout.num_words(); ++i) Cell::retain(Cell::from_word(words[i]));
}
inline void release_cells(const StateLayout& layout, const std::uint64_t* words) noexcept {
    for (std::size_t i = layout.cell_begin(); i < layout.num_words(); ++i) Cell::release(Cell::from_word(words[i]));
}
// The hash of values packed in `layout`'s shape (`boxed`: some cell is boxed). Never 0.
std::uint64_t words_hash(const StateLayout& layout, const std::uint64_t* words, bool boxed) noexcept;
// The same active conditions with the same counts.
bool same_conditions(const ActiveConditions& a, const ActiveConditions& b) noexcept;
// Adds the running actions' next events (instance numbers aside), independently of the
// map's iteration order.
void hash_running_into(support::FxHasher& h, const RunningActions& todo) noexcept;
// Adds those and the active conditions with their counts, in the same way.
void hash_progress_into(support::FxHasher& h, const RunningActions& todo, const ActiveConditions& conditions) noexcept;

// A write of constants into one word of a state's values: the word becomes
// (word & ~clear) | set. A cell's word is written whole (clear all ones).
struct WordWrite {
    std::uint32_t word = 0;
    std::uint64_t clear = 0;
    std::uint64_t set = 0;
};

class StatePtr;
class StateBox;

class State {
  public:
    // --- header; the words of the values follow `values` in the same allocation ---
    mutable std::atomic<std::uint32_t> refs_{1};
    std::uint32_t flags_ = 0;  // kHasBoxed: some cell is boxed
    double g = 0.0;
    PersistentList<PathEntry> path;
    RunningActions todo;
    ActiveConditions active_conditions;
    NetworkSlot temporal_network;
    mutable HeuristicCache heuristic_cache;
    mutable std::atomic<std::uint64_t> hash_{0};  // 0: not computed yet
    StateValues values;

    static constexpr std::uint32_t kHasBoxed = 1;

    // A state holding `nodes`, one per fluent, in `layout` when they fit it (same
    // number of fluents, a boolean in every bit slot), else in cells only.
    static StateBox make(std::span<const ExpressionNode> nodes, const LayoutPtr& layout = nullptr);

    // The copy a successor is built from: values copied, path and maps shared, the
    // network copied (sharing its edge lists); the heuristic cache starts empty.
    StateBox clone_for_child() const;
    // The same copy, with the heuristic cache entries copied too.
    StatePtr full_clone() const;

    // Value of fluent `f` for the evaluator.
    ExpressionNode fluent_value(std::uint64_t f) const {
        QV_REQUIRE(f < values.size(), "fluent index beyond the state's values");
        return values[f];
    }
    bool has_boxed() const noexcept { return flags_ & kHasBoxed; }

    // A state of a temporal task (one with a network) equals no state, itself included.
    // Otherwise two states are equal when their values are, and their running actions
    // stand at the same next events (instance numbers aside) under the same active
    // conditions: a running action or an open condition restricts what can follow, so
    // states that differ in them are different states.
    friend bool operator==(const State& a, const State& b) noexcept;
    // Consistent with == over states of one layout (the states of one search space);
    // computed once. With nothing running and no condition open (every state of a task
    // whose actions have one event) it is the hash of the values alone.
    std::uint64_t hash() const noexcept;
    // The hash of the fluent values alone.
    std::uint64_t values_hash() const noexcept;

    // Whether running actions and active conditions are part of this state's identity:
    // in a task without a network, once any is there.
    bool progress_in_identity() const noexcept {
        return !temporal_network && (!todo.empty() || !active_conditions.empty());
    }
    // Adds the running actions' next events and the active conditions with their
    // counts, independently of the maps' iteration order; instance numbers stay out.
    void hash_progress_into(support::FxHasher& h) const noexcept;
    // Adds the running actions' next events alone (what weak equality compares besides
    // the values), in the same way.
    void hash_running_into(support::FxHasher& h) const noexcept;

    // Bytes of one state in `layout`.
    static std::size_t allocation_size(const StateLayout& layout) noexcept {
        return sizeof(State) + layout.num_words() * sizeof(std::uint64_t);
    }

    State(const State&) = delete;
    State& operator=(const State&) = delete;

  private:
    friend class StatePtr;
    friend class StateBox;
    friend class StateStore;
    explicit State(LayoutPtr layout) noexcept { values.layout_ = std::move(layout); }
    ~State();
    // A state in `layout` with every value word 0 (what `store` writes into), or, when
    // the caller overwrites them all at once, with the words left as they come.
    static State* allocate(LayoutPtr layout, bool zeroed = true);
    // A copy of this state's fields in `layout` (this one's or cells only); the cache
    // is copied only on request.
    State* copy(const LayoutPtr& layout, bool with_cache) const;
    void retain() const noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() const noexcept {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy(this);
    }
    static void destroy(const State* s) noexcept;
    // Stores a cell that carries its own reference; false (and nothing stored) when the
    // slot cannot hold it.
    bool store(std::uint64_t f, Cell c) noexcept;
};

static_assert(std::is_standard_layout_v<State>);
static_assert(sizeof(StateValues) == 8);
static_assert(sizeof(State) == 72, "the state header must stay nine words");

// A shared, read-only reference to a state.
class StatePtr {
  public:
    StatePtr() noexcept = default;
    StatePtr(std::nullptr_t) noexcept {}  // NOLINT: implicit on purpose
    StatePtr(const StatePtr& o) noexcept : p_(o.p_) {
        if (p_) p_->retain();
    }
    StatePtr(StatePtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    StatePtr(StateBox&& box) noexcept;  // NOLINT: a finished state becomes shared
    StatePtr& operator=(StatePtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~StatePtr() {
        if (p_) p_->release();
    }

    const State* get() const noexcept { return p_; }
    const State& operator*() const noexcept { return *p_; }
    const State* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept {
        if (p_) p_->release();
        p_ = nullptr;
    }
    friend bool operator==(const StatePtr& a, const StatePtr& b) noexcept { return a.p_ == b.p_; }
    friend bool operator==(const StatePtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

  private:
    friend class State;
    friend class StateBox;
    explicit StatePtr(const State* p) noexcept : p_(p) {}  // takes over one reference
    const State* p_ = nullptr;
};

// The only reference to a state being built: its fields may still change. Values are
// written through set_value, which may move the state into a layout of cells only.
class StateBox {
  public:
    StateBox() noexcept = default;
    StateBox(StateBox&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    StateBox& operator=(StateBox&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~StateBox() {
        if (p_) p_->release();
    }

    State* get() const noexcept { return p_; }
    State& operator*() const noexcept { return *p_; }
    State* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    // Fluent f takes `value`; f must be below the number of fluents.
    void set_value(std::uint64_t f, const ExpressionNode& value);
    // The same for a value already in a cell (one reference is taken for the state).
    void set_cell(std::uint64_t f, Cell value);
    // Writes constants straight into the words: `bits` into words of bit slots, `cells`
    // into cell slots, each an inline value (the cell there before is let go of). What
    // set_cell would do with the same values, one by one, for a state in the layout the
    // writes were made for.
    void write_words(std::span<const WordWrite> bits, std::span<const WordWrite> cells) noexcept {
        State& s = *p_;
        std::uint64_t* w = s.values.mutable_words();
        s.hash_.store(0, std::memory_order_relaxed);
        for (const WordWrite& b : bits) w[b.word] = (w[b.word] & ~b.clear) | b.set;
        for (const WordWrite& c : cells) {
            const Cell old = Cell::from_word(w[c.word]);
            w[c.word] = c.set;
            Cell::release(old);
        }
    }
    // Moves the values into `layout` when they fit it and are in another layout now.
    void adopt_layout(const LayoutPtr& layout);
    // Makes this the copy of `parent` a successor is built from, as clone_for_child
    // would, reusing this state's memory when it is the only reference to a state in
    // the parent's layout: a search that builds its successors one after the other in
    // one box allocates no state per successor.
    void reset_from(const State& parent);
    // Makes this box hold the state with these fields (values packed in `layout`, some
    // of them boxed or not) and an empty heuristic cache, reusing its memory when it is
    // the only reference to a state in `layout` with a network or not as `network`.
    void rebuild(const LayoutPtr& layout, const std::uint64_t* words, bool boxed, double g,
                 PersistentList<PathEntry> path, const RunningActions& todo, const ActiveConditions& conditions,
                 const FloatNetwork* network);

  private:
    friend class State;
    friend class StatePtr;
    friend class StateStore;
    explicit StateBox(State* p) noexcept : p_(p) {}
    // Moves the state into a layout of cells only.
    void spill();
    // Writes `owned`, whose one reference passes to the state (and is let go of when
    // the write fails), spilling first when the layout cannot hold it.
    void store_owned(std::uint64_t f, Cell owned);
    State* p_ = nullptr;
};

inline StatePtr::StatePtr(StateBox&& box) noexcept : p_(box.p_) { box.p_ = nullptr; }

}  // namespace quorvane
