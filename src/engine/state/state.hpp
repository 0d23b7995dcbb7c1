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
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/temporal/networks.hpp"
#include "engine/task/actions.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/support/persistent_list.hpp"

namespace quorvane {

// --- value cells ------------------------------------------------------------------------

// The id of an object name in the process-wide table of names. Names only come from the
// caller's expressions, so the table stays as small as the tasks' object names; an id
// never changes and its name is never freed.
std::uint64_t intern_object_name(std::string_view name);
const std::string& object_name_of(std::uint64_t id);

struct CellBox;

// One fluent value in 8 bytes: the low three bits are a tag.
//   Bool      payload 0 or 1
//   Int       a signed integer of 61 bits
//   Rational  numerator (signed, 32 bits) and denominator (29 bits), already reduced
//   Object    the id of an interned name
//   Boxed     a pointer to a reference-counted node: any other value (larger numbers,
//             and whatever else a caller's initial state may hold)
// Every value that fits inline is always stored inline, so two cells hold equal values
// exactly when their words are equal, or both are boxed and the boxed nodes are equal.
// A Cell is a plain word: who stores a boxed one holds one reference (see retain/release).
class Cell {
  public:
    enum Tag : std::uint64_t { kBool = 0, kInt = 1, kRational = 2, kObject = 3, kBoxed = 4 };
    static constexpr std::uint64_t kTagMask = 7;
    static constexpr std::int64_t kIntMin = -(std::int64_t{1} << 60);
    static constexpr std::int64_t kIntMax = (std::int64_t{1} << 60) - 1;
    static constexpr std::uint64_t kDenomLimit = std::uint64_t{1} << 29;  // denominators below it fit

    constexpr Cell() noexcept = default;
    static constexpr Cell from_word(std::uint64_t w) noexcept { return Cell(w); }
    static constexpr Cell boolean(bool b) noexcept { return Cell(static_cast<std::uint64_t>(b) << 3); }
    static constexpr bool int_fits(std::int64_t v) noexcept { return v >= kIntMin && v <= kIntMax; }
    // v must fit (int_fits).
    static constexpr Cell small_int(std::int64_t v) noexcept { return Cell((static_cast<std::uint64_t>(v) << 3) | kInt); }
    static Cell object(std::uint64_t id) noexcept { return Cell((id << 3) | kObject); }

    // The cell for a copy of `node`, boxing what does not fit inline; a boxed result
    // carries one reference for the caller.
    static Cell encode(const ExpressionNode& node);
    // A node equal to the value.
    ExpressionNode decode() const;

    constexpr std::uint64_t word() const noexcept { return w_; }
    constexpr Tag tag() const noexcept { return static_cast<Tag>(w_ & kTagMask); }
    constexpr bool is_bool() const noexcept { return tag() == kBool; }
    constexpr bool is_true() const noexcept { return w_ == 8; }
    constexpr bool is_false() const noexcept { return w_ == 0; }
    constexpr bool is_boxed() const noexcept { return tag() == kBoxed; }
    constexpr bool is_small_int() const noexcept { return tag() == kInt; }
    constexpr std::int64_t small_int_value() const noexcept { return static_cast<std::int64_t>(w_) >> 3; }
    const CellBox& box() const noexcept { return *reinterpret_cast<const CellBox*>(w_ & ~kTagMask); }
    // Whether the value is an Int or a Rational.
    bool is_number() const noexcept;

    // The node equality of the two values.
    friend bool same_value(Cell a, Cell b) noexcept;
    // Consistent with same_value.
    std::uint64_t value_hash() const noexcept;

    static void retain(Cell c) noexcept;
    static void release(Cell c) noexcept;

  private:
    constexpr explicit Cell(std::uint64_t w) noexcept : w_(w) {}
    std::uint64_t w_ = 0;
};
static_assert(sizeof(Cell) == 8);

// The node behind a boxed cell. Boxes are counted, not interned: they are rare (values
// beyond the inline ranges), a count frees each as soon as its last holder goes, so
// numbers that keep growing along a search never pile up, and no table is shared.
struct CellBox {
    mutable std::atomic<std::uint32_t> refs{1};
    std::uint64_t hash = 0;
    ExpressionNode node;
    explicit CellBox(ExpressionNode n);
    ~CellBox();
    CellBox(const CellBox&) = delete;
    CellBox& operator=(const CellBox&) = delete;
    // Boxes alive in the process.
    static std::size_t live() noexcept;
};

// A cell that holds its own reference.
class OwnedCell {
  public:
    OwnedCell() noexcept = default;
    explicit OwnedCell(const ExpressionNode& node) : c_(Cell::encode(node)) {}
    OwnedCell(const OwnedCell& o) noexcept : c_(o.c_) { Cell::retain(c_); }
    OwnedCell& operator=(const OwnedCell& o) noexcept {
        Cell::retain(o.c_);
        Cell::release(c_);
        c_ = o.c_;
        return *this;
    }
    ~OwnedCell() { Cell::release(c_); }
    Cell get() const noexcept { return c_; }

  private:
    Cell c_;
};

// --- layouts ------------------------------------------------------------------------------

class StateLayout;

// A counted reference to a layout: a layout lives as long as a search space or a state
// uses it.
class LayoutPtr {
  public:
    LayoutPtr() noexcept = default;
    LayoutPtr(std::nullptr_t) noexcept {}  // NOLINT: implicit on purpose
    LayoutPtr(const LayoutPtr& o) noexcept;
    LayoutPtr(LayoutPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    LayoutPtr& operator=(LayoutPtr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~LayoutPtr();
    const StateLayout* get() const noexcept { return p_; }
    const StateLayout& operator*() const noexcept { return *p_; }
    const StateLayout* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    friend bool operator==(const LayoutPtr& a, const LayoutPtr& b) noexcept { return a.p_ == b.p_; }

  private:
    friend class StateLayout;
    explicit LayoutPtr(const StateLayout* p) noexcept : p_(p) {}  // takes over one reference
    const StateLayout* p_ = nullptr;
};

// Where each fluent's value lives among a state's words: the bits of the boolean
// fluents first, then one cell per other fluent.
class StateLayout {
  public:
    // `bits[f]`: fluent f only ever holds a boolean and gets one bit.
    static LayoutPtr make(const std::vector<bool>& bits);
    // One cell per fluent.
    static LayoutPtr cells_only(std::size_t fluents);

    std::size_t num_fluents() const noexcept { return slots_.size(); }
    std::size_t num_words() const noexcept { return words_; }
    // Words [cell_begin, num_words) are cells.
    std::size_t cell_begin() const noexcept { return cell_begin_; }
    bool cells_only() const noexcept { return cell_begin_ == 0; }
    bool is_bit(std::uint64_t f) const noexcept { return slots_[f] & 1; }
    // For a bit slot, the bit index over the words; for a cell slot, the word index.
    std::uint32_t index(std::uint64_t f) const noexcept { return slots_[f] >> 1; }
    // Unique over the process: keys made from words carry it.
    std::uint64_t id() const noexcept { return id_; }
    // Same fluents in the same slots.
    bool same_shape(const StateLayout& o) const noexcept {
        return this == &o || (words_ == o.words_ && cell_begin_ == o.cell_begin_ && slots_ == o.slots_);
    }

  private:
    friend class LayoutPtr;
    StateLayout() = default;
    std::vector<std::uint32_t> slots_;  // (index << 1) | is_bit
    std::size_t words_ = 0;
    std::size_t cell_begin_ = 0;
    std::uint64_t id_ = 0;
    // Every state made or dropped counts here, from every thread that searches: the
    // count has a cache line of its own, so that it does not evict the fields above,
    // which every fluent read looks at.
    alignas(64) mutable std::atomic<std::uint32_t> refs_{1};
};

inline LayoutPtr::LayoutPtr(const LayoutPtr& o) noexcept : p_(o.p_) {
    if (p_) p_->refs_.fetch_add(1, std::memory_order_relaxed);
}
inline LayoutPtr::~LayoutPtr() {
    if (p_ && p_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete p_;
}

// --- the parts of a state ---------------------------------------------------------------

// One applied event: its action, its position in the action's list and its instance number.
struct PathEntry {
    Action action;
    std::uint64_t pos = 0;
    std::uint32_t instance = 0;
};

// A running action: the index of its next event and that event's instance number.
struct TodoEntry {
    std::uint64_t next_event = 0;
    std::uint32_t instance = 0;
};

using FloatNetwork = SearchNetwork;
using TodoMap = boost::unordered_flat_map<Action, TodoEntry, support::FxHash<Action>>;
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
using RunningActions = state_detail::SharedMap<TodoMap>;

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

// The temporal network of a state, present in every state of a temporal task; owned,
// so a copy copies the network (which shares its edge lists).
class NetworkSlot {
  public:
    NetworkSlot() noexcept = default;
    NetworkSlot(const NetworkSlot& o) : p_(o.p_ ? new FloatNetwork(*o.p_) : nullptr) {}
    NetworkSlot& operator=(const NetworkSlot&) = delete;
    ~NetworkSlot() { delete p_; }

    bool has_value() const noexcept { return p_ != nullptr; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    FloatNetwork& operator*() noexcept { return *p_; }
    const FloatNetwork& operator*() const noexcept { return *p_; }
    FloatNetwork* operator->() noexcept { return p_; }
    const FloatNetwork* operator->() const noexcept { return p_; }
    template <class... Args>
    FloatNetwork& emplace(Args&&... args) {
        FloatNetwork* n = new FloatNetwork(std::forward<Args>(args)...);
        delete p_;
        p_ = n;
        return *p_;
    }

  private:
    FloatNetwork* p_ = nullptr;
};

// Heuristic values computed for one state, by heuristic name; an entry without a
// number records a dead end. The only part of a shared state that changes; it guards
// itself, and takes memory only once a value is stored.
class HeuristicCache {
  public:
    HeuristicCache() noexcept = default;
    HeuristicCache(const HeuristicCache&) = delete;
    HeuristicCache& operator=(const HeuristicCache&) = delete;
    ~HeuristicCache();

    // nullopt: nothing cached under `name`; otherwise the cached value (itself optional).
    std::optional<std::optional<double>> get(std::string_view name) const;
    void put(std::string_view name, std::optional<double> value);
    std::size_t size() const;
    void copy_from(const HeuristicCache& other);

  private:
    struct Block {
        std::mutex mutex;
        // Few heuristics run per search: a flat list beats a hash map here.
        std::vector<std::pair<std::string_view, std::optional<double>>> entries;
    };
    Block& block();
    mutable std::atomic<Block*> block_{nullptr};
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
    std::uint64_t* mutable_words() noexcept { return reinterpret_cast<std::uint64_t*>(this + 1); }
    LayoutPtr layout_;
};

// Whether two runs of words packed in `layout`'s shape hold the same values: equal bits,
// and cells equal as values (a boxed cell by what it holds).
bool same_words(const StateLayout& layout, const std::uint64_t* a, const std::uint64_t* b) noexcept;

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
    // Moves the values into `layout` when they fit it and are in another layout now.
    void adopt_layout(const LayoutPtr& layout);

  private:
    friend class State;
    friend class StatePtr;
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
