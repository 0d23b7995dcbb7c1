// The states one search keeps, packed: their values in large segments of words, named
// by 32-bit ids, with what each needs beside it in columns (g, its parent's id, the
// events that made it from its parent), and the seen set over those ids.
//
// A search keeps each state it means to come back to here, and rebuilds a State from
// it when it does (to expand it, or to hand it to whoever needs a whole state). Values
// are compared and hashed in place, in the store's layout. Running actions, active
// conditions and networks are shared handles, kept only where a state has them.
// Dropping the store frees a handful of segments, however many states it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/state/state.hpp"

namespace quorvane {

using StateId = std::uint32_t;
inline constexpr StateId kNoStateId = ~StateId{0};

// A column that grows by chunks of fixed size: what it holds never moves, and growing
// never copies.
template <class T, unsigned kShift = 14>
class ChunkedColumn {
  public:
    static constexpr std::size_t kChunk = std::size_t{1} << kShift;

    ChunkedColumn() = default;
    ChunkedColumn(ChunkedColumn&& o) noexcept
        : chunks_(std::move(o.chunks_)), size_(std::exchange(o.size_, 0)) {}
    ChunkedColumn& operator=(ChunkedColumn&& o) noexcept {
        chunks_ = std::move(o.chunks_);
        size_ = std::exchange(o.size_, 0);
        o.chunks_.clear();
        return *this;
    }

    T& operator[](std::size_t i) noexcept { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    const T& operator[](std::size_t i) const noexcept { return chunks_[i >> kShift][i & (kChunk - 1)]; }
    std::size_t size() const noexcept { return size_; }
    void push_back(T v) {
        if ((size_ & (kChunk - 1)) == 0 && (size_ >> kShift) == chunks_.size()) [[unlikely]]
            grow();
        (*this)[size_++] = std::move(v);
    }
    void pop_back() noexcept {
        --size_;
        (*this)[size_] = T{};
    }
    // Writes element i, one past the end or within.
    void put(std::size_t i, T v) {
        if (i == size_) push_back(std::move(v));
        else (*this)[i] = std::move(v);
    }

  private:
    // Plain values are left as they come: the pages of a chunk are touched only as the
    // column reaches them.
    [[gnu::noinline]] void grow() { chunks_.push_back(make_chunk()); }
    static std::unique_ptr<T[]> make_chunk() {
        if constexpr (std::is_trivially_default_constructible_v<T>) return std::make_unique_for_overwrite<T[]>(kChunk);
        else return std::make_unique<T[]>(kChunk);
    }
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t size_ = 0;
};

// Values a few stored states hold, by id, or (dense) one per state in a column.
template <class T>
class IdSlots {
  public:
    explicit IdSlots(bool dense) : dense_(dense) {}
    void put(StateId id, T value) {
        if (!dense_) {
            sparse_.insert_or_assign(id, std::move(value));
            return;
        }
        while (column_.size() < id) column_.push_back(T{});
        column_.put(id, std::move(value));
    }
    // `id` holds a value.
    const T& at(StateId id) const noexcept { return dense_ ? column_[id] : sparse_.find(id)->second; }
    // The value of `id`, or null when it holds none (a dense one: a default value).
    const T* find(StateId id) const noexcept {
        if (dense_) return id < column_.size() ? &column_[id] : nullptr;
        auto it = sparse_.find(id);
        return it == sparse_.end() ? nullptr : &it->second;
    }
    // Drops the value of `id`, if any.
    void drop(StateId id) noexcept {
        if (!dense_) sparse_.erase(id);
        else if (column_.size() == std::size_t{id} + 1) column_.pop_back();
        else if (column_.size() > id) column_[id] = T{};
    }
    // How many values it holds (a dense one: one per state up to the newest).
    std::size_t count() const noexcept { return dense_ ? column_.size() : sparse_.size(); }

  private:
    bool dense_;
    ChunkedColumn<T> column_;
    boost::unordered_flat_map<StateId, T> sparse_;
};

// Which stored states count as equal: none (every state is new), State equality, or
// the weak equality of temporal tasks (values and the running actions' next events).
enum class SeenPolicy { States, WeakStates, None };

// Not temporal: State equality; temporal: weak equality when asked for, else nothing.
inline SeenPolicy seen_policy(bool is_temporal, bool weak_equality) noexcept {
    if (!is_temporal) return SeenPolicy::States;
    return weak_equality ? SeenPolicy::WeakStates : SeenPolicy::None;
}

class StateStore {
  public:
    // A store whose state 0 is `root` (kept whole: its path is where every stored path
    // begins), in the root's layout. `seen` decides which states `add_unique` turns away.
    // A releasing store counts who holds each state (see `release`) and reuses the ids
    // of states let go; it has no seen set.
    StateStore(StatePtr root, SeenPolicy seen, bool releasing = false);
    // A store dropped while an exception leaves the search (a time-out, an interrupt)
    // hands the many small objects it may hold (networks, maps, boxes) to the release
    // thread, so that the search ends at once; otherwise it frees them here.
    ~StateStore();
    StateStore(const StateStore&) = delete;
    StateStore& operator=(const StateStore&) = delete;

    // The ids in use (the states stored, in a store that does not release).
    std::size_t size() const noexcept { return g_.size(); }
    SeenPolicy policy() const noexcept { return policy_; }

    // Stores `state`, made from the stored state `parent` rebuilt as `parent_state` (so
    // the state's path is the parent's plus the events it added). Returns its id.
    StateId add(const State& state, StateId parent, const State& parent_state);
    // The same, unless the seen set holds an equal state: then nothing is stored and
    // kNoStateId comes back. The state is recorded in the seen set.
    StateId add_unique(const State& state, StateId parent, const State& parent_state);
    // Frees everything the store holds, here and now, leaving it empty: for a search
    // that runs out of memory, whose caller needs the memory back before the error
    // reaches it. Nothing may be asked of the store afterwards.
    void release_now() noexcept;

    // In a releasing store, a state is held by whoever added it and by each state
    // stored with it as parent; `release` drops the adder's hold. A state nobody holds
    // is dropped, and so, in turn, are the parents it held. The root is never dropped.
    void release(StateId id) noexcept;

    // The seen set on its own, for a search that records states apart from storing them.
    void record_seen(StateId id);
    bool seen(const State& state) const;
    void forget_seen();
    std::size_t seen_size() const noexcept { return seen_.size(); }

    // The stored state as a State of its own; with `full_path`, its whole path, else an
    // empty one (the root keeps its own).
    StatePtr state(StateId id, bool full_path) const;
    // The same built into `box`, reusing its memory when it is the only reference to a
    // state of the store's layout (the root comes as a copy here).
    void state_into(StateId id, bool full_path, StateBox& box) const;
    double g(StateId id) const noexcept { return has(id, kDoubleG) ? double_g_.at(id) : g_[id]; }

    // --- networks kept for expanded states only ---
    // A temporal state's network costs hundreds of bytes, most of them its own, while a
    // search expands only a few of the states it stores. Asked before the first state is
    // added, the store keeps the networks of the root and of the states whose entries
    // continue their parent's path only when `keep_network` gives them: the searches give
    // the network of each state they expand, made again from its parent's (see
    // search/frame.hpp). state_into needs the network of a state that has one.
    void keep_networks_of_expanded_only() noexcept { expanded_networks_only_ = true; }
    // Whether state_into can rebuild the state whole (its network, if it has one, is kept).
    bool network_kept(StateId id) const noexcept;
    void keep_network(StateId id, const FloatNetwork& network);
    // The step that made `id` from its parent: the action and the instance number of the
    // step's first event (its oldest entry).
    PathEntry first_entry(StateId id) const;
    StateId parent(StateId id) const noexcept { return parent_[id]; }
    // The actions of the state's whole path, oldest first.
    std::vector<Action> plan(StateId id) const;

  private:
    struct Leftovers;
    // What the store holds, moved out of it.
    std::unique_ptr<Leftovers> take() noexcept;

    // The position and instance number of a compact path entry (the action is in its
    // own column); both are 0 in most states of a task without a network.
    struct PosInstance {
        std::uint32_t pos = 0;
        std::uint32_t instance = 0;
    };
    struct Progress {
        RunningActions todo;
        ActiveConditions conditions;
    };
    enum Flag : std::uint8_t {
        kBoxed = 1,        // some cell holds a box reference
        kWhole = 2,        // the state is kept whole in `whole_` (values in another layout)
        kLongEntries = 4,  // the entries are in `long_entries_`
        kProgress = 8,     // running actions or active conditions, in `progress_`
        kNetwork = 16,     // a temporal network, in `networks_`
        kRootedPath = 32,  // the long entries are the state's whole path
        kPosInstance = 64,  // the compact entry's position and instance, in `pos_instance_`
        kDoubleG = 128,    // g is not a float: in `double_g_`
    };

    struct IdHash {
        using is_transparent = void;
        const StateStore* store;
        std::size_t operator()(StateId id) const noexcept { return store->hash_of(id); }
        std::size_t operator()(const State& s) const noexcept { return store->hash_of(s); }
    };
    struct IdEq {
        using is_transparent = void;
        const StateStore* store;
        bool operator()(StateId a, StateId b) const noexcept { return a == b || store->equal(a, b); }
        bool operator()(const State& s, StateId b) const noexcept { return store->equal(s, b); }
        bool operator()(StateId a, const State& s) const noexcept { return store->equal(s, a); }
    };

    const std::uint64_t* words(StateId id) const noexcept {
        return segments_[id >> kSegmentShift].get() + (id & (kSegmentStates - 1)) * num_words_;
    }
    std::uint64_t* words(StateId id) noexcept {
        return segments_[id >> kSegmentShift].get() + (id & (kSegmentStates - 1)) * num_words_;
    }
    bool has(StateId id, Flag f) const noexcept { return flags_[id] & f; }
    const RunningActions& todo_of(StateId id) const noexcept;
    const ActiveConditions& conditions_of(StateId id) const noexcept;

    std::uint64_t hash_of(StateId id) const noexcept;
    std::uint64_t hash_of(const State& s) const noexcept;
    bool equal(StateId a, StateId b) const noexcept;
    bool equal(const State& s, StateId b) const noexcept;
    bool same_values(const State& s, StateId b) const noexcept;

    StateId next_id() const;
    // The values of state `id` into its slot (or kept whole), and its progress and
    // network, setting their flags; `unstore` takes back what these stored.
    void store_values(const State& s, StateId id, std::uint8_t& flags);
    // Inline: most states have neither, and are told so without a call.
    void store_progress(const State& s, StateId id, std::uint8_t& flags) {
        if (!s.todo.empty() || !s.active_conditions.empty()) put_progress(s, id, flags);
    }
    void store_network(const State& s, StateId id, std::uint8_t& flags) {
        if (s.temporal_network) put_network(s, id, flags);
    }
    void put_progress(const State& s, StateId id, std::uint8_t& flags);
    void put_network(const State& s, StateId id, std::uint8_t& flags);
    void unstore(StateId id, std::uint8_t flags) noexcept;
    void trim(StateId id) noexcept;
    void release_cells(StateId id) noexcept;
    // The boxes of every state, for a store whose contents could not be moved out.
    void release_boxes() noexcept;
    // The rest of a new state `id`, whose values and progress are stored: its network,
    // flags, entries, parent and g.
    void finish_add(const State& state, StateId id, StateId parent, const State& parent_state,
                    std::uint8_t flags);
    void push_entries(const State& state, StateId id, const State& parent_state);
    void push_g(StateId id, double g);
    // The entries that made `id` from its parent, newest first; true when they are the
    // state's whole path.
    template <class F>
    bool for_each_entry(StateId id, F&& f) const;
    // The entries of the state's path that the store holds, newest first; false when
    // the root's own path comes after them.
    template <class F>
    bool for_each_stored_entry(StateId id, F&& f) const;

    static constexpr unsigned kSegmentShift = 13;
    static constexpr std::size_t kSegmentStates = std::size_t{1} << kSegmentShift;

    StatePtr root_;
    LayoutPtr layout_;
    std::size_t num_words_;
    SeenPolicy policy_;
    std::vector<std::unique_ptr<std::uint64_t[]>> segments_;
    // g is a count of events in every state a search space makes: a float holds it.
    ChunkedColumn<float> g_;
    ChunkedColumn<StateId> parent_;
    ChunkedColumn<std::uint32_t> action_;  // of the compact entry
    ChunkedColumn<std::uint8_t> flags_;
    // What few states hold, by id; in a temporal search every state holds progress and
    // a network, in columns.
    IdSlots<StatePtr> whole_{false};
    IdSlots<double> double_g_{false};
    IdSlots<PosInstance> pos_instance_;
    IdSlots<std::vector<PathEntry>> long_entries_{false};
    IdSlots<Progress> progress_;
    IdSlots<std::unique_ptr<FloatNetwork>> networks_;
    boost::unordered_flat_set<StateId, IdHash, IdEq> seen_;
    std::size_t boxed_ = 0;  // states with kBoxed
    bool releasing_;
    bool expanded_networks_only_ = false;
    int unwinding_ = 0;  // exceptions in flight when the store was made
    ChunkedColumn<std::uint32_t> holders_;  // of a releasing store
    std::vector<StateId> free_;             // ids let go, to be reused
};

}  // namespace quorvane
