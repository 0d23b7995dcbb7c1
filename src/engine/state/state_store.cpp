#include "engine/state/state_store.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "engine/support/background_release.hpp"

namespace quorvane {

namespace {
const RunningActions kNoRunning;
const ActiveConditions kNoConditions;

// Whether `v` fits 32 bits.
bool fits32(std::uint64_t v) noexcept { return v <= 0xffffffffu; }
}  // namespace

StateStore::StateStore(StatePtr root, SeenPolicy seen, bool releasing)
    : root_(std::move(root)),
      layout_(root_->values.layout_ptr()),
      num_words_(layout_->num_words()),
      policy_(releasing ? SeenPolicy::None : seen),
      pos_instance_(root_->temporal_network.has_value()),
      progress_(root_->temporal_network.has_value()),
      networks_(root_->temporal_network.has_value()),
      seen_(0, IdHash{this}, IdEq{this}),
      releasing_(releasing),
      unwinding_(std::uncaught_exceptions()) {
    // The root's path is its own: every stored path starts there.
    std::uint8_t flags = 0;
    store_values(*root_, 0, flags);
    store_progress(*root_, 0, flags);
    store_network(*root_, 0, flags);
    flags_.push_back(flags);
    parent_.push_back(kNoStateId);
    action_.push_back(0);
    push_g(0, root_->g);
    // The root holds itself: it is never dropped.
    if (releasing_) holders_.push_back(2);
}

void StateStore::push_g(StateId id, double g) {
    // Beyond the float range (or NaN) the cast itself would be undefined: such a g is
    // kept as a double.
    const bool in_range = g >= -3.4e38 && g <= 3.4e38;
    const float f = in_range ? static_cast<float>(g) : 0.0f;
    if (!in_range || static_cast<double>(f) != g) {
        double_g_.put(id, g);
        flags_[id] |= kDoubleG;
    }
    g_.put(id, f);
}

// Everything a store holds that takes freeing; freed when this is destroyed.
struct StateStore::Leftovers : support::Garbage {
    LayoutPtr layout;
    std::size_t num_words = 0;
    std::size_t boxed = 0;
    std::vector<std::unique_ptr<std::uint64_t[]>> segments;
    ChunkedColumn<std::uint8_t> flags;
    IdSlots<StatePtr> whole{false};
    IdSlots<std::vector<PathEntry>> long_entries{false};
    IdSlots<Progress> progress{false};
    IdSlots<std::unique_ptr<FloatNetwork>> networks{false};
    StatePtr root;

    // The objects that are freed one by one.
    std::size_t objects() const noexcept {
        return boxed + whole.count() + long_entries.count() + progress.count() + networks.count();
    }
    ~Leftovers() override {
        if (!boxed) return;
        constexpr unsigned shift = StateStore::kSegmentShift;
        for (std::size_t id = 0; id < flags.size(); ++id) {
            if (!(flags[id] & kBoxed)) continue;
            const std::size_t slot = id & ((std::size_t{1} << shift) - 1);
            quorvane::release_cells(*layout, segments[id >> shift].get() + slot * num_words);
        }
    }
};

std::unique_ptr<StateStore::Leftovers> StateStore::take() noexcept {
    auto out = std::unique_ptr<Leftovers>(new (std::nothrow) Leftovers);
    if (!out) return nullptr;
    out->layout = layout_;
    out->num_words = num_words_;
    out->boxed = std::exchange(boxed_, 0);
    out->segments = std::move(segments_);
    out->flags = std::move(flags_);
    out->whole = std::move(whole_);
    out->long_entries = std::move(long_entries_);
    out->progress = std::move(progress_);
    out->networks = std::move(networks_);
    out->root = std::move(root_);
    return out;
}

StateStore::~StateStore() {
    // Freeing inline: the boxes first, while the segments are there.
    std::unique_ptr<Leftovers> rest = take();
    if (!rest) {
        release_boxes();
        return;
    }
    constexpr std::size_t kManyObjects = 10000;
    if (std::uncaught_exceptions() > unwinding_ && rest->objects() >= kManyObjects)
        support::release_in_background(std::move(rest));
}

void StateStore::release_now() noexcept {
    seen_.clear();
    if (!take()) release_boxes();
}

void StateStore::release_cells(StateId id) noexcept { quorvane::release_cells(*layout_, words(id)); }

void StateStore::release_boxes() noexcept {
    if (!boxed_) return;
    for (std::size_t id = 0; id < flags_.size(); ++id)
        if (flags_[id] & kBoxed) release_cells(static_cast<StateId>(id));
    boxed_ = 0;
}

// --- adding states ----------------------------------------------------------------------

void StateStore::store_values(const State& s, StateId id, std::uint8_t& flags) {
    if ((id >> kSegmentShift) >= segments_.size())
        segments_.push_back(
            std::make_unique_for_overwrite<std::uint64_t[]>(std::max<std::size_t>(1, kSegmentStates * num_words_)));
    std::uint64_t* w = words(id);
    if (s.values.layout_ptr() == layout_ || s.values.layout().same_shape(*layout_)) {
        std::memcpy(w, s.values.words(), num_words_ * sizeof(std::uint64_t));
        if (s.has_boxed()) {
            retain_cells(*layout_, w);
            flags |= kBoxed;
            ++boxed_;
        }
        return;
    }
    // Values in another layout are kept as a state of their own, without its path.
    std::memset(w, 0, num_words_ * sizeof(std::uint64_t));
    StateBox copy = s.clone_for_child();
    copy->path = PersistentList<PathEntry>();
    whole_.put(id, StatePtr(std::move(copy)));
    flags |= kWhole;
}

void StateStore::put_progress(const State& s, StateId id, std::uint8_t& flags) {
    progress_.put(id, Progress{s.todo, s.active_conditions});
    flags |= kProgress;
}

void StateStore::put_network(const State& s, StateId id, std::uint8_t& flags) {
    keep_network(id, *s.temporal_network);
    flags |= kNetwork;
}

bool StateStore::network_kept(StateId id) const noexcept {
    if (!has(id, kNetwork) || has(id, kWhole)) return true;
    const std::unique_ptr<FloatNetwork>* kept = networks_.find(id);
    return kept && *kept;
}

void StateStore::keep_network(StateId id, const FloatNetwork& network) {
    networks_.put(id, std::make_unique<FloatNetwork>(network));
}

PathEntry StateStore::first_entry(StateId id) const {
    PathEntry first;
    for_each_entry(id, [&](const PathEntry& e) { first = e; });
    return first;
}

void StateStore::unstore(StateId id, std::uint8_t flags) noexcept {
    if (flags & kBoxed) {
        release_cells(id);
        --boxed_;
    }
    if (flags & kWhole) whole_.drop(id);
    if (flags & kProgress) progress_.drop(id);
    if (flags & kNetwork) networks_.drop(id);
    if (flags & kPosInstance) pos_instance_.drop(id);
    if (flags & kDoubleG) double_g_.drop(id);
    if (flags & kLongEntries) long_entries_.drop(id);
}

void StateStore::trim(StateId id) noexcept {
    // A new state's columns, back to where they were before it: an id one past the end
    // is popped, a reused one stays (its slot is rewritten when the id is used again).
    if (flags_.size() == std::size_t{id} + 1) flags_.pop_back();
    if (action_.size() == std::size_t{id} + 1) action_.pop_back();
    if (parent_.size() == std::size_t{id} + 1) parent_.pop_back();
    if (holders_.size() == std::size_t{id} + 1) holders_.pop_back();
    if (g_.size() == std::size_t{id} + 1) g_.pop_back();
}

StateId StateStore::next_id() const {
    if (!free_.empty()) return free_.back();
    const std::size_t n = size();
    // Ids are 32 bits: one more state cannot be named.
    if (n >= kNoStateId) throw std::bad_alloc();
    return static_cast<StateId>(n);
}

void StateStore::push_entries(const State& state, StateId id, const State& parent_state) {
    // The state's path is the parent's with the new entries in front: most often one.
    const auto parent_head = parent_state.path.iter_rev().begin();
    const auto end = decltype(parent_head)();
    auto it = state.path.iter_rev().begin();
    if (it != end && it != parent_head) {
        auto next = it;
        if (++next == parent_head && fits32(it->action.idx) && fits32(it->pos)) {
            if (it->pos || it->instance) {
                pos_instance_.put(id, PosInstance{static_cast<std::uint32_t>(it->pos), it->instance});
                flags_[id] |= kPosInstance;
            }
            action_.put(id, static_cast<std::uint32_t>(it->action.idx));
            return;
        }
    }
    std::vector<PathEntry> added;
    bool met = parent_head == end;
    for (; it != end; ++it) {
        if (it == parent_head) {
            met = true;
            break;
        }
        added.push_back(*it);
    }
    action_.put(id, 0);
    flags_[id] |= kLongEntries;
    // A path that does not continue the parent's is the state's whole path.
    if (!met) flags_[id] |= kRootedPath;
    long_entries_.put(id, std::move(added));
}

void StateStore::finish_add(const State& state, StateId id, StateId parent, const State& parent_state,
                            std::uint8_t flags) {
    try {
        if (state.temporal_network) flags |= kNetwork;
        flags_.put(id, flags);
        push_entries(state, id, parent_state);
        // Made again when the state is expanded, unless its entries are not a step from
        // its parent.
        if (!expanded_networks_only_ || has(id, kRootedPath)) store_network(state, id, flags);
        parent_.put(id, parent);
        if (releasing_) holders_.put(id, 1);
        push_g(id, state.g);
    } catch (...) {
        // Whatever was stored for the state goes: every slot, and the columns back to `id`.
        unstore(id, static_cast<std::uint8_t>(~kBoxed | (flags & kBoxed)));
        trim(id);
        throw;
    }
    if (releasing_) {
        if (!free_.empty() && free_.back() == id) free_.pop_back();
        if (parent != kNoStateId) ++holders_[parent];
    }
}

void StateStore::release(StateId id) noexcept {
    while (id != kNoStateId && --holders_[id] == 0) {
        const StateId parent = parent_[id];
        unstore(id, flags_[id]);
        flags_[id] = 0;
        free_.push_back(id);
        id = parent;
    }
}

StateId StateStore::add(const State& state, StateId parent, const State& parent_state) {
    const StateId id = next_id();
    std::uint8_t flags = 0;
    store_values(state, id, flags);
    store_progress(state, id, flags);
    finish_add(state, id, parent, parent_state, flags);
    return id;
}

StateId StateStore::add_unique(const State& state, StateId parent, const State& parent_state) {
    if (policy_ == SeenPolicy::None) return add(state, parent, parent_state);
    const StateId id = next_id();
    std::uint8_t flags = 0;
    store_values(state, id, flags);
    store_progress(state, id, flags);
    // Equality reads whether the state has a network before the network is stored.
    if (state.temporal_network) flags |= kNetwork;
    // The seen set reads the new state's values and progress in place, through its flags.
    flags_.push_back(flags);
    bool inserted = false;
    try {
        inserted = seen_.insert(id).second;
    } catch (...) {
        flags_.pop_back();
        unstore(id, flags);
        throw;
    }
    flags_.pop_back();
    if (!inserted) {
        unstore(id, flags);
        return kNoStateId;
    }
    try {
        finish_add(state, id, parent, parent_state, flags);
    } catch (...) {
        seen_.erase(id);
        throw;
    }
    return id;
}

void StateStore::record_seen(StateId id) {
    if (policy_ != SeenPolicy::None) seen_.insert(id);
}

bool StateStore::seen(const State& state) const { return policy_ != SeenPolicy::None && seen_.contains(state); }

void StateStore::forget_seen() { seen_.clear(); }

// --- reading states ---------------------------------------------------------------------

const RunningActions& StateStore::todo_of(StateId id) const noexcept {
    return has(id, kProgress) ? progress_.at(id).todo : kNoRunning;
}

const ActiveConditions& StateStore::conditions_of(StateId id) const noexcept {
    return has(id, kProgress) ? progress_.at(id).conditions : kNoConditions;
}

template <class F>
bool StateStore::for_each_entry(StateId id, F&& f) const {
    if (!has(id, kLongEntries)) {
        const PosInstance p = has(id, kPosInstance) ? pos_instance_.at(id) : PosInstance{};
        f(PathEntry{Action{action_[id]}, p.pos, p.instance});
        return false;
    }
    for (const PathEntry& e : long_entries_.at(id)) f(e);
    return has(id, kRootedPath);
}

template <class F>
bool StateStore::for_each_stored_entry(StateId id, F&& f) const {
    // Newest first: the state's own entries, its parent's, and so on up to the root's
    // children, unless a state's entries are its whole path.
    for (; id != 0; id = parent_[id])
        if (for_each_entry(id, f)) return true;
    return false;
}

std::vector<Action> StateStore::plan(StateId id) const {
    std::vector<Action> out;
    const bool rooted = for_each_stored_entry(id, [&](const PathEntry& e) { out.push_back(e.action); });
    if (!rooted)
        for (const PathEntry& e : root_->path.iter_rev()) out.push_back(e.action);
    std::reverse(out.begin(), out.end());
    return out;
}

StatePtr StateStore::state(StateId id, bool full_path) const {
    if (id == 0) return root_;
    StateBox box;
    state_into(id, full_path, box);
    return StatePtr(std::move(box));
}

void StateStore::state_into(StateId id, bool full_path, StateBox& box) const {
    PersistentList<PathEntry> path;
    if (id == 0) {
        path = root_->path;
    } else if (full_path) {
        std::vector<PathEntry> entries;
        const bool rooted = for_each_stored_entry(id, [&](const PathEntry& e) { entries.push_back(e); });
        if (!rooted) path = root_->path;
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) path.push_front(*it);
    }
    if (has(id, kWhole)) {
        box = whole_.at(id)->clone_for_child();
        box->g = g(id);
        box->path = std::move(path);
        return;
    }
    QV_REQUIRE(network_kept(id), "a stored state rebuilt without its network");
    box.rebuild(layout_, words(id), has(id, kBoxed), g(id), std::move(path), todo_of(id), conditions_of(id),
                has(id, kNetwork) ? networks_.at(id).get() : nullptr);
}

// --- comparing states -------------------------------------------------------------------

std::uint64_t StateStore::hash_of(StateId id) const noexcept {
    if (has(id, kWhole)) return hash_of(*whole_.at(id));
    std::uint64_t h = words_hash(*layout_, words(id), has(id, kBoxed));
    if (policy_ == SeenPolicy::States && has(id, kProgress) && !has(id, kNetwork)) {
        support::FxHasher hasher;
        hasher.add(h);
        hash_progress_into(hasher, todo_of(id), conditions_of(id));
        h = hasher.finish();
        if (h == 0) h = 1;
    }
    return h;
}

std::uint64_t StateStore::hash_of(const State& s) const noexcept {
    return policy_ == SeenPolicy::States ? s.hash() : s.values_hash();
}

bool StateStore::same_values(const State& s, StateId b) const noexcept {
    if (has(b, kWhole)) return s.values == whole_.at(b)->values;
    if (s.values.layout().same_shape(*layout_)) return same_words(*layout_, s.values.words(), words(b));
    if (s.values.size() != layout_->num_fluents()) return false;
    const std::uint64_t* w = words(b);
    for (std::uint64_t f = 0; f < s.values.size(); ++f) {
        const std::uint32_t i = layout_->index(f);
        const Cell c = layout_->is_bit(f) ? Cell::boolean((w[i >> 6] >> (i & 63)) & 1) : Cell::from_word(w[i]);
        if (!same_value(s.values.cell(f), c)) return false;
    }
    return true;
}

bool StateStore::equal(const State& s, StateId b) const noexcept {
    // States in different layouts compare as the seen sets always have: hashes first.
    const bool same_layout = !has(b, kWhole) && s.values.layout().same_shape(*layout_);
    if (!same_layout && hash_of(s) != hash_of(b)) return false;
    if (!same_values(s, b) || !same_running(s.todo, todo_of(b))) return false;
    if (policy_ == SeenPolicy::WeakStates) return true;
    return !s.temporal_network && !has(b, kNetwork) && same_conditions(s.active_conditions, conditions_of(b));
}

bool StateStore::equal(StateId a, StateId b) const noexcept {
    if (has(a, kWhole) || has(b, kWhole)) {
        if (hash_of(a) != hash_of(b)) return false;
        if (has(a, kWhole)) return equal(*whole_.at(a), b);
        return equal(*whole_.at(b), a);
    }
    if (!same_words(*layout_, words(a), words(b)) || !same_running(todo_of(a), todo_of(b))) return false;
    if (policy_ == SeenPolicy::WeakStates) return true;
    return !has(a, kNetwork) && !has(b, kNetwork) && same_conditions(conditions_of(a), conditions_of(b));
}

}  // namespace quorvane
