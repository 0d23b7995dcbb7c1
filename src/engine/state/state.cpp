#include "engine/state/state.hpp"

#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

namespace quorvane {

// --- values -------------------------------------------------------------------------------

bool same_words(const StateLayout& layout, const std::uint64_t* a, const std::uint64_t* b) noexcept {
    const std::size_t bits = layout.cell_begin();
    if (std::memcmp(a, b, bits * sizeof(std::uint64_t)) != 0) return false;
    for (std::size_t i = bits; i < layout.num_words(); ++i)
        if (a[i] != b[i] && !same_value(Cell::from_word(a[i]), Cell::from_word(b[i]))) return false;
    return true;
}

bool operator==(const StateValues& a, const StateValues& b) noexcept {
    const StateLayout& la = a.layout();
    if (la.same_shape(b.layout())) return same_words(la, a.words(), b.words());
    if (a.size() != b.size()) return false;
    for (std::uint64_t f = 0; f < a.size(); ++f)
        if (!same_value(a.cell(f), b.cell(f))) return false;
    return true;
}

// --- states -------------------------------------------------------------------------------

static_assert(sizeof(State) % alignof(std::uint64_t) == 0);
static_assert(offsetof(State, values) + sizeof(StateValues) == sizeof(State), "the words follow the values header");

State* State::allocate(LayoutPtr layout, bool zeroed) {
    const std::size_t bytes = allocation_size(*layout);
    void* memory = ::operator new(bytes);
    State* s = new (memory) State(std::move(layout));
    if (zeroed) std::memset(s->values.mutable_words(), 0, s->values.num_words() * sizeof(std::uint64_t));
    return s;
}

State::~State() = default;

void State::destroy(const State* s) noexcept {
    if (s->has_boxed()) release_cells(s->values.layout(), s->values.words());
    s->~State();
    ::operator delete(const_cast<State*>(s));
}

bool State::store(std::uint64_t f, Cell c) noexcept {
    const StateLayout& l = values.layout();
    const std::uint32_t i = l.index(f);
    std::uint64_t* w = values.mutable_words();
    hash_.store(0, std::memory_order_relaxed);
    if (l.is_bit(f)) {
        if (!c.is_bool()) return false;
        const std::uint64_t mask = std::uint64_t{1} << (i & 63);
        w[i >> 6] = c.is_true() ? (w[i >> 6] | mask) : (w[i >> 6] & ~mask);
        return true;
    }
    const Cell old = Cell::from_word(w[i]);
    w[i] = c.word();
    if (c.is_boxed()) flags_ |= kHasBoxed;
    Cell::release(old);
    return true;
}

State* State::copy(const LayoutPtr& layout, bool with_cache) const {
    // Words of the same shape are copied all at once below; others are stored one by one.
    const bool same_shape = layout == values.layout_ || layout->same_shape(values.layout());
    StateBox out(allocate(layout, !same_shape));
    State& c = *out;
    c.g = g;
    c.path = path;
    c.todo = todo;
    c.active_conditions = active_conditions;
    if (temporal_network) c.temporal_network.emplace(*temporal_network);
    if (same_shape) {
        const std::size_t n = layout->num_words();
        std::memcpy(c.values.mutable_words(), values.words(), n * sizeof(std::uint64_t));
        if (has_boxed()) {
            retain_cells(*layout, values.words());
            c.flags_ |= kHasBoxed;
        }
    } else {
        for (std::uint64_t f = 0; f < values.size(); ++f) {
            const Cell v = values.cell(f);
            Cell::retain(v);
            const bool stored = c.store(f, v);
            if (!stored) Cell::release(v);
            QV_REQUIRE(stored, "a value that does not fit the layout it is copied into");
        }
    }
    if (with_cache) c.heuristic_cache.copy_from(heuristic_cache);
    return std::exchange(out.p_, nullptr);
}

namespace {
// Whether every value fits its slot of `layout`: same number of fluents, and a boolean
// wherever the layout has a bit.
template <class Values>
bool fits(const StateLayout& layout, const Values& values_of, std::size_t n) {
    if (layout.num_fluents() != n) return false;
    for (std::uint64_t f = 0; f < n; ++f)
        if (layout.is_bit(f) && !values_of(f)) return false;
    return true;
}
}  // namespace

StateBox State::make(std::span<const ExpressionNode> nodes, const LayoutPtr& layout) {
    const bool compact =
        layout && fits(*layout, [&](std::uint64_t f) { return nodes[f].kind() == NodeKind::Bool; }, nodes.size());
    StateBox box(allocate(compact ? layout : StateLayout::cells_only(nodes.size())));
    for (std::uint64_t f = 0; f < nodes.size(); ++f) {
        const Cell c = Cell::encode(nodes[f]);
        box->store(f, c);  // fits by construction
    }
    return box;
}

StateBox State::clone_for_child() const { return StateBox(copy(values.layout_, false)); }

StatePtr State::full_clone() const { return StatePtr(copy(values.layout_, true)); }

// Entries are summed, so each must spread over all bits.
using support::mix64;

bool same_conditions(const ActiveConditions& a, const ActiveConditions& b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.shares(b)) return true;
    for (const auto& [condition, count] : a) {
        auto it = b.find(condition);
        if (it == b.end() || it->second != count) return false;
    }
    return true;
}

// Every word goes through the strong mix before Fx combines it. Fx alone lets a change
// in a word's top bit cancel against a change five bits up in the next word (two states
// differing in fluents 63 and 68 shared a hash). With the mix, one step of the chain is
// a bijection in the word and in the state before it, so states whose values differ in
// a single word never share a hash, and a collision between words needs two 64-bit
// accidents to meet.
std::uint64_t words_hash(const StateLayout& l, const std::uint64_t* w, bool boxed) noexcept {
    support::FxHasher h;
    h.add(l.num_fluents());
    if (!boxed) {
        for (std::size_t i = 0; i < l.num_words(); ++i) h.add(mix64(w[i]));
    } else {
        for (std::size_t i = 0; i < l.cell_begin(); ++i) h.add(mix64(w[i]));
        for (std::size_t i = l.cell_begin(); i < l.num_words(); ++i)
            h.add(mix64(Cell::from_word(w[i]).value_hash()));
    }
    const std::uint64_t out = h.finish();
    return out ? out : 1;
}

namespace {
// Sums of mixed entry hashes do not depend on the order the maps are walked in.
std::uint64_t running_sum(const RunningActions& todo) noexcept {
    std::uint64_t running = 0;
    for (const auto& [action, entry] : todo) {
        support::FxHasher e;
        action.hash_into(e);
        e.add(entry.next_event);
        running += mix64(e.finish());
    }
    return running;
}
}  // namespace

void hash_running_into(support::FxHasher& h, const RunningActions& todo) noexcept {
    h.add(todo.size());
    h.add(running_sum(todo));
}

void hash_progress_into(support::FxHasher& h, const RunningActions& todo, const ActiveConditions& conditions) noexcept {
    hash_running_into(h, todo);
    std::uint64_t sum = 0;
    for (const auto& [condition, count] : conditions) {
        // The hasher as hash_expr leaves it: the condition's expression hash is its state.
        support::FxHasher e{condition.hash()};
        e.add(count);
        sum += mix64(e.finish());
    }
    h.add(conditions.size());
    h.add(sum);
}

bool operator==(const State& a, const State& b) noexcept {
    if (a.temporal_network) return false;
    return a.values == b.values && same_running(a.todo, b.todo) &&
           same_conditions(a.active_conditions, b.active_conditions);
}

std::uint64_t State::values_hash() const noexcept {
    if (!progress_in_identity()) return hash();
    return words_hash(values.layout(), values.words(), has_boxed());
}

void State::hash_running_into(support::FxHasher& h) const noexcept { quorvane::hash_running_into(h, todo); }

void State::hash_progress_into(support::FxHasher& h) const noexcept {
    quorvane::hash_progress_into(h, todo, active_conditions);
}

std::uint64_t State::hash() const noexcept {
    std::uint64_t h = hash_.load(std::memory_order_relaxed);
    if (h) return h;
    h = words_hash(values.layout(), values.words(), has_boxed());
    if (progress_in_identity()) {
        support::FxHasher hasher;
        hasher.add(h);
        hash_progress_into(hasher);
        h = hasher.finish();
    }
    if (h == 0) h = 1;  // 0 marks "not computed"
    hash_.store(h, std::memory_order_relaxed);
    return h;
}

// --- building states ----------------------------------------------------------------------

void StateBox::set_value(std::uint64_t f, const ExpressionNode& value) {
    QV_REQUIRE(f < p_->values.size(), "a value written beyond the state's fluents");
    store_owned(f, Cell::encode(value));
}

void StateBox::set_cell(std::uint64_t f, Cell value) {
    QV_REQUIRE(f < p_->values.size(), "a value written beyond the state's fluents");
    Cell::retain(value);
    store_owned(f, value);
}

void StateBox::store_owned(std::uint64_t f, Cell owned) {
    if (p_->store(f, owned)) return;
    try {
        spill();
    } catch (...) {
        Cell::release(owned);
        throw;
    }
    p_->store(f, owned);
}

void StateBox::spill() {
    StateBox moved(p_->copy(StateLayout::cells_only(p_->values.size()), true));
    std::swap(p_, moved.p_);
}

void StateBox::reset_from(const State& parent) {
    // A successor built where the last one was, with no network and no boxed cell on
    // either side (most of them): what rebuild does in that case, without its detours.
    State* s = p_;
    if (s && !parent.temporal_network && !s->temporal_network && !((parent.flags_ | s->flags_) & State::kHasBoxed) &&
        s->values.layout_ == parent.values.layout_ && s->refs_.load(std::memory_order_relaxed) == 1) {
        s->heuristic_cache.clear();
        s->hash_.store(0, std::memory_order_relaxed);
        const std::size_t n = parent.values.num_words();
        const std::uint64_t* from = parent.values.words();
        std::uint64_t* to = s->values.mutable_words();
        for (std::size_t i = 0; i < n; ++i) to[i] = from[i];
        s->flags_ = 0;
        s->g = parent.g;
        s->path = parent.path;
        s->todo = parent.todo;
        s->active_conditions = parent.active_conditions;
        return;
    }
    rebuild(parent.values.layout_ptr(), parent.values.words(), parent.has_boxed(), parent.g, parent.path, parent.todo,
            parent.active_conditions, parent.temporal_network ? &*parent.temporal_network : nullptr);
}

void StateBox::rebuild(const LayoutPtr& layout, const std::uint64_t* words, bool boxed, double g,
                       PersistentList<PathEntry> path, const RunningActions& todo, const ActiveConditions& conditions,
                       const FloatNetwork* network) {
    const bool reuse = p_ && p_->refs_.load(std::memory_order_relaxed) == 1 && p_->values.layout_ptr() == layout &&
                       p_->temporal_network.has_value() == (network != nullptr);
    if (!reuse) {
        *this = StateBox(State::allocate(layout, false));
        if (network) p_->temporal_network.emplace(*network);
    } else {
        if (p_->has_boxed()) release_cells(*layout, p_->values.words());
        if (network) *p_->temporal_network = *network;
        p_->heuristic_cache.clear();
        p_->hash_.store(0, std::memory_order_relaxed);
    }
    State& s = *p_;
    std::memcpy(s.values.mutable_words(), words, layout->num_words() * sizeof(std::uint64_t));
    s.flags_ = 0;
    if (boxed) {
        retain_cells(*layout, s.values.words());
        s.flags_ |= State::kHasBoxed;
    }
    s.g = g;
    s.path = std::move(path);
    s.todo = todo;
    s.active_conditions = conditions;
}

void StateBox::adopt_layout(const LayoutPtr& layout) {
    if (!layout || p_->values.layout_ptr() == layout) return;
    const StateValues& v = p_->values;
    if (!fits(*layout, [&](std::uint64_t f) { return v.cell(f).is_bool(); }, v.size())) return;
    StateBox moved(p_->copy(layout, true));
    std::swap(p_, moved.p_);
}

}  // namespace quorvane
