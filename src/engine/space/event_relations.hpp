// The fluents each event touches, and the two relations between the events of a
// search space that a temporal search orders by: interference (MutexChecker) and
// precedence (PrecedenceChecker), answered from tables built once per search space.
// The answers are asked for every pair a successor posts: what they call is inline here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/support/errors.hpp"
#include "engine/support/fx_hash.hpp"
#include "engine/task/actions.hpp"

namespace quorvane {

using FluentSet = boost::unordered_flat_set<std::uint64_t, support::FxHash<std::uint64_t>>;

// Whether two fluent sets share a member; walks the smaller set, probes the larger.
inline bool intersects(const FluentSet& a, const FluentSet& b) noexcept {
    const FluentSet& small = a.size() <= b.size() ? a : b;
    const FluentSet& large = a.size() <= b.size() ? b : a;
    for (std::uint64_t f : small)
        if (large.contains(f)) return true;
    return false;
}

// The fluents one event touches, split by the way it touches them.
struct EventFluentSets {
    FluentSet reads;  // its condition and its effect values
    FluentSet writes;  // its effects' fluents
    FluentSet reads_or_writes;
    FluentSet start_condition_fluents;
    FluentSet end_condition_fluents;

    static EventFluentSets of(const Event& event);
};

// Row i: the fluent sets of the events of the action with index i, by list position.
using FluentSetTable = std::vector<std::vector<EventFluentSets>>;

// An event named by its action and its position in that action's event list.
struct EventRef {
    Action action;
    std::size_t pos = 0;
    friend bool operator==(const EventRef&, const EventRef&) noexcept = default;
};

// An ordered pair of events: the question "first against second".
struct EventPair {
    EventRef first;
    EventRef second;
    friend bool operator==(const EventPair&, const EventPair&) noexcept = default;
};

namespace detail {
// For each fluent, the events (by dense number) that read it, write it or open a durative
// condition on it: the rows of a relation are unions of these lists.
struct FluentIndex {
    boost::unordered_flat_map<std::uint64_t, std::vector<std::uint32_t>, support::FxHash<std::uint64_t>> readers,
        writers, openers;
    explicit FluentIndex(const std::vector<const EventFluentSets*>& events);
};

// Whether two events of different actions interfere: one writes a fluent that the
// other reads or writes.
struct Interferes {
    static bool holds(const EventFluentSets& first, const EventFluentSets& second) noexcept;
    // Calls mark(t) for every event t (possibly more than once) with holds(first, t).
    template <class F>
    static void each_related(const EventFluentSets& first, const FluentIndex& index, F&& mark);
};
// Whether, of two events of different actions, the second must not be placed before the
// first: the first writes a fluent of a durative condition that the second opens, or the
// second writes a fluent of one that the first closes.
struct MustFollow {
    static bool holds(const EventFluentSets& first, const EventFluentSets& second) noexcept;
    template <class F>
    static void each_related(const EventFluentSets& first, const FluentIndex& index, F&& mark);
};

template <class F>
void for_each_listed(const boost::unordered_flat_map<std::uint64_t, std::vector<std::uint32_t>,
                                                     support::FxHash<std::uint64_t>>& lists,
                     const FluentSet& fluents, F& mark) {
    for (std::uint64_t f : fluents)
        if (auto it = lists.find(f); it != lists.end())
            for (std::uint32_t t : it->second) mark(t);
}

template <class F>
void Interferes::each_related(const EventFluentSets& s, const FluentIndex& index, F&& mark) {
    for_each_listed(index.readers, s.writes, mark);
    for_each_listed(index.writers, s.reads_or_writes, mark);
}

template <class F>
void MustFollow::each_related(const EventFluentSets& s, const FluentIndex& index, F&& mark) {
    for_each_listed(index.openers, s.writes, mark);
    for_each_listed(index.writers, s.end_condition_fluents, mark);
}

inline bool Interferes::holds(const EventFluentSets& s, const EventFluentSets& t) noexcept {
    return intersects(t.reads, s.writes) || intersects(s.reads_or_writes, t.writes);
}

inline bool MustFollow::holds(const EventFluentSets& s, const EventFluentSets& t) noexcept {
    return intersects(s.writes, t.start_condition_fluents) || intersects(t.writes, s.end_condition_fluents);
}
}  // namespace detail

// Where an event sits in a checker's table: its dense number (>= 0), or why it has none.
using EventSlot = std::int64_t;

// A relation between the events of a search space, answered from tables built when the
// checker is made: nothing is locked, looked up by hash or stored while a search asks.
// Events are numbered densely, action row by action row, so that an (action, position)
// pair becomes a number with two array reads. Up to `max_matrix_events` events the
// answers for all ordered pairs sit in a bit matrix; beyond that (a matrix would cost too
// much memory) each question is answered from the fluent sets, which allocates nothing.
// Events of one action are always related, without any lookup.
template <class Relation>
class EventPairChecker {
  public:
    static constexpr EventSlot kNoRow = -1;       // the action lies beyond the table's rows
    static constexpr EventSlot kNoPosition = -2;  // the position lies beyond the action's row
    static constexpr std::size_t kMaxMatrixEvents = 4096;  // a matrix of 2 MiB

    EventPairChecker() = default;
    // Without a matrix the checker answers from a copy of `sets`.
    explicit EventPairChecker(const FluentSetTable& sets, std::size_t max_matrix_events = kMaxMatrixEvents) {
        init(sets, nullptr, max_matrix_events);
    }
    // Without a matrix the checker answers from `sets` (not null) itself, which it keeps alive.
    explicit EventPairChecker(std::shared_ptr<const FluentSetTable> sets,
                              std::size_t max_matrix_events = kMaxMatrixEvents) {
        const FluentSetTable& table = *sets;
        init(table, std::move(sets), max_matrix_events);
    }

    // Whether the relation holds for the ordered pair. An event outside the table (an
    // `Event` whose `pos` is not its position in the list) is a broken precondition:
    // InternalError, the first event's action and position checked before the second's.
    bool check(const EventPair& key) const {
        return check(key.first.action, slot(key.first), key.second.action, slot(key.second));
    }
    // The same question for events already numbered: `first` an event of `first_action`,
    // `second` one of `second_action`, each as slot() gave it.
    bool check(Action first_action, EventSlot first, Action second_action, EventSlot second) const {
        if (first_action == second_action) return true;
        const std::uint64_t a = require(first);
        return holds(a, require(second));
    }

    EventSlot slot(const EventRef& ref) const noexcept {
        if (ref.action.idx >= row_start_.size() - 1) return kNoRow;
        const std::uint64_t begin = row_start_[ref.action.idx];
        if (ref.pos >= row_start_[ref.action.idx + 1] - begin) return kNoPosition;
        return static_cast<EventSlot>(begin + ref.pos);
    }
    // The number of a slot, or the error of an event that has none.
    static std::uint64_t require(EventSlot slot) {
        if (slot >= 0) [[likely]]
            return static_cast<std::uint64_t>(slot);
        internal_error(slot == kNoRow ? "event of an action beyond the search space's fluent sets"
                                      : "event position beyond its action's fluent sets");
    }
    // The answer for two numbered events of different actions.
    bool holds(std::uint64_t first, std::uint64_t second) const noexcept {
        if (!matrix_.empty()) {
            const std::uint64_t bit = first * words_per_row_ * 64 + second;
            return (matrix_[bit >> 6] >> (bit & 63)) & 1;
        }
        return Relation::holds(*events_[first], *events_[second]);
    }

    std::size_t num_events() const noexcept { return row_start_.size() > 0 ? row_start_.back() : 0; }
    // Whether the answers come from the bit matrix.
    bool tabulated() const noexcept { return !matrix_.empty(); }

  private:
    // Numbers the events of `sets` and tabulates the answers, or, beyond max_matrix_events,
    // keeps `shared` (a copy of `sets` when null) to answer from.
    void init(const FluentSetTable& sets, std::shared_ptr<const FluentSetTable> shared, std::size_t max_matrix_events);
    // The events of `sets` (as numbered by init), by number.
    std::vector<const EventFluentSets*> numbered_events(const FluentSetTable& sets) const;

    std::vector<std::uint64_t> row_start_ = {0};  // per action row, its first number; then the total
    std::size_t words_per_row_ = 0;
    std::vector<std::uint64_t> matrix_;  // row `first`, bit `second`
    std::shared_ptr<const FluentSetTable> sets_;  // for the answers without a matrix
    std::vector<const EventFluentSets*> events_;  // by number, into sets_
};

template <class Relation>
std::vector<const EventFluentSets*> EventPairChecker<Relation>::numbered_events(const FluentSetTable& sets) const {
    std::vector<const EventFluentSets*> events;
    events.reserve(num_events());
    for (const auto& row : sets)
        for (const EventFluentSets& e : row) events.push_back(&e);
    return events;
}

template <class Relation>
void EventPairChecker<Relation>::init(const FluentSetTable& sets, std::shared_ptr<const FluentSetTable> shared,
                                      std::size_t max_matrix_events) {
    row_start_.clear();
    row_start_.reserve(sets.size() + 1);
    std::uint64_t next = 0;
    for (const auto& row : sets) {
        row_start_.push_back(next);
        next += row.size();
    }
    row_start_.push_back(next);
    const std::size_t n = static_cast<std::size_t>(next);
    if (n > max_matrix_events) {
        // Kept for answering: the numbers point into it, so it lives as long as the checker.
        sets_ = shared ? std::move(shared) : std::make_shared<const FluentSetTable>(sets);
        events_ = numbered_events(*sets_);
        return;
    }
    const std::vector<const EventFluentSets*> events = numbered_events(sets);
    const detail::FluentIndex index(events);
    words_per_row_ = (n + 63) / 64;
    matrix_.assign(std::max<std::size_t>(1, n * words_per_row_), 0);
    for (std::size_t first = 0; first < n; ++first) {
        std::uint64_t* row = matrix_.data() + first * words_per_row_;
        Relation::each_related(*events[first], index, [row](std::uint32_t t) { row[t >> 6] |= std::uint64_t{1} << (t & 63); });
    }
}

using MutexChecker = EventPairChecker<detail::Interferes>;
using PrecedenceChecker = EventPairChecker<detail::MustFollow>;

}  // namespace quorvane
