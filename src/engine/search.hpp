// The searches: breadth-/depth-first, weighted best-first (bounded and unbounded) and
// enforced hill climbing, with what they share: counters, the time-out, statistics,
// duplicate detection, open-list entries and the evaluated successor streams.
//
// The searches are templates over the search space (anything with the operations of
// `SearchableSpace`) and the heuristic (`HeuristicTrait`). Errors are thrown; an
// exhausted search is a result without a plan, not an error.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/errors.hpp"
#include "engine/heuristics.hpp"
#include "engine/search_state.hpp"
#include "engine/structures.hpp"
#include "engine/support/bloom_filter.hpp"
#include "engine/support/log.hpp"
#include "engine/support/minmax_heap.hpp"
#include "engine/time_limit.hpp"

namespace quorvane {

// The operations of a search space that the searches use.
template <class S>
concept SearchableSpace = requires(const S& space, const State& state, Action action) {
    { space.initial_state(nullptr) } -> std::convertible_to<StatePtr>;
    { space.get_successor_state(state, action) } -> std::convertible_to<StatePtr>;
    { space.goal_reached(state, nullptr) } -> std::same_as<bool>;
    { space.relevant_actions() } -> std::convertible_to<const std::vector<Action>&>;
    { space.is_temporal() } -> std::same_as<bool>;
};

namespace search {

inline constexpr const char* kTarget = "quorvane_base::search";
inline constexpr std::uint64_t kProgressEvery = 10000;

using Statistics = std::map<std::string, std::string>;

// A search that ends without a goal has no plan; only errors are thrown.
struct SearchResult {
    std::optional<std::vector<Action>> plan;
    Statistics statistics;
};

// One action per applied event of the state's path, oldest first.
std::vector<Action> extract_path(const State& state);

// --- texts --------------------------------------------------------------------------

// Shortest text that reads back as the same double, never with an exponent, without a
// fractional part when whole: 3 -> "3", 2.5 -> "2.5", 1e300 -> "1" and 300 zeros.
std::string format_number(double v);
// Exactly four digits after the point: 3 -> "3.0000".
std::string format_fixed4(double v);
// "None", or "Some(x)" with x the shortest text of the 32-bit float, always with a
// fractional part, in exponent form from 1e16 up and below 1e-4: Some(30.0), Some(1e-5).
std::string format_timeout(std::optional<float> timeout);
inline const char* format_flag(bool b) noexcept { return b ? "true" : "false"; }

// Adds 1 to a 32-bit signed counter, wrapping instead of overflowing.
inline void bump(std::int32_t& n) noexcept {
    n = static_cast<std::int32_t>(static_cast<std::uint32_t>(n) + 1u);
}
inline void bump(std::uint64_t& n) noexcept { ++n; }

// --- time-out -----------------------------------------------------------------------

// The time limit lives in its own header so that heuristics can check it too; the
// searches keep their names for it.
using quorvane::elapsed_seconds_f32;
using quorvane::exceeds;
using quorvane::TimeLimit;

// --- duplicate detection ------------------------------------------------------------

// A seen-set key that compares states by fluent values, running actions and their
// next events, ignoring instance numbers, networks, conditions, g and path. Its hash
// covers the values alone, which equal keys share.
class WeakEqState {
  public:
    explicit WeakEqState(StatePtr state) : state_(std::move(state)), hash_(state_->values_hash()) {}
    const StatePtr& state() const noexcept { return state_; }
    std::uint64_t hash() const noexcept { return hash_; }
    friend bool operator==(const WeakEqState& a, const WeakEqState& b) noexcept;

  private:
    StatePtr state_;
    std::uint64_t hash_;
};

// A seen-set key under State equality (or identity): one reference; the state keeps
// its hash.
class SharedStateKey {
  public:
    explicit SharedStateKey(StatePtr state) : state_(std::move(state)) {}
    const StatePtr& state() const noexcept { return state_; }
    std::uint64_t hash() const noexcept { return state_->hash(); }
    friend bool operator==(const SharedStateKey& a, const SharedStateKey& b) noexcept {
        // Equal states have equal hashes: the stored hashes turn away most other
        // candidates of a probe before any value is compared.
        return a.state_ == b.state_ || (a.hash() == b.hash() && *a.state_ == *b.state_);
    }

  private:
    StatePtr state_;
};
static_assert(sizeof(SharedStateKey) == 8);

struct CachedHash {
    template <class K>
    std::size_t operator()(const K& k) const noexcept {
        return static_cast<std::size_t>(k.hash());
    }
};

enum class SeenPolicy { States, WeakStates, None };

// Not temporal: State equality; temporal: WeakEqState with weak_equality, else nothing.
inline SeenPolicy seen_policy(bool is_temporal, bool weak_equality) noexcept {
    if (!is_temporal) return SeenPolicy::States;
    return weak_equality ? SeenPolicy::WeakStates : SeenPolicy::None;
}

class SeenSet {
  public:
    explicit SeenSet(SeenPolicy policy) : policy_(policy) {}

    // Records the state; false when an equal one was recorded before (the set keeps
    // its entry). Without a set every state is new.
    bool insert(const StatePtr& state);
    bool contains(const StatePtr& state) const;
    void clear();
    std::size_t size() const noexcept { return states_.size() + weak_.size(); }
    SeenPolicy policy() const noexcept { return policy_; }

  private:
    SeenPolicy policy_;
    boost::unordered_flat_set<SharedStateKey, CachedHash> states_;
    boost::unordered_flat_set<WeakEqState, CachedHash> weak_;
};

// The key of a state in a Bloom filter, hashed with a seed drawn afresh for every
// filter: its fluent values and, in a task that is not temporal, its running actions'
// next events and active conditions, as State equality has them (with neither, the
// values alone). In a temporal task the values alone.
class SeededStateHasher {
  public:
    explicit SeededStateHasher(bool temporal);
    SeededStateHasher(std::uint64_t seed, bool temporal) noexcept : seed_(seed), temporal_(temporal) {}
    std::uint64_t operator()(const State& state) const noexcept;

  private:
    std::uint64_t seed_;
    bool temporal_;
};

// The memory-bounded search's seen set.
class StateBloomFilter {
  public:
    static constexpr double kRate = 0.0001;
    static constexpr std::uint64_t kItems = 20'000'000;

    explicit StateBloomFilter(bool temporal) : hasher_(temporal), filter_(kRate, kItems) {}
    // Records the state's key; true when every bit of it was set already.
    bool check_and_set(const State& state) { return filter_.check_and_set(hasher_(state)); }

  private:
    SeededStateHasher hasher_;
    support::BloomFilter filter_;
};

// --- open lists ---------------------------------------------------------------------

// One entry of a best-first open list; lower priority is better.
struct PrioritizedItem {
    StatePtr item;
    double priority = 0.0;
    std::uint64_t counter = 0;
    // The state's number of running actions, read once: ties are broken on it at every
    // heap step, and reaching into each state there costs a cache miss per comparison.
    std::size_t running = 0;

    PrioritizedItem() = default;
    PrioritizedItem(StatePtr state, double p, std::uint64_t c)
        : item(std::move(state)), priority(p), counter(c), running(item ? item->todo.size() : 0) {}
};

// Whether a is better than b: lower priority; then (equal, or either NaN) fewer
// running actions; then generated first.
inline bool better(const PrioritizedItem& a, const PrioritizedItem& b) noexcept {
    if (a.priority < b.priority) return true;
    if (a.priority > b.priority) return false;
    if (a.running != b.running) return a.running < b.running;
    return a.counter < b.counter;
}
struct Worse {
    bool operator()(const PrioritizedItem& a, const PrioritizedItem& b) const noexcept { return better(b, a); }
};

// A binary heap that hands out its best entry; `Less(a, b)`: a comes out after b.
template <class T, class Less>
class BinaryHeap {
  public:
    bool empty() const noexcept { return items_.empty(); }
    std::size_t size() const noexcept { return items_.size(); }
    void push(T item) {
        items_.push_back(std::move(item));
        std::push_heap(items_.begin(), items_.end(), Less{});
    }
    std::optional<T> pop() {
        if (items_.empty()) return std::nullopt;
        std::pop_heap(items_.begin(), items_.end(), Less{});
        T out = std::move(items_.back());
        items_.pop_back();
        return out;
    }
    const T& top() const {
        QV_REQUIRE(!items_.empty(), "top of an empty heap");
        return items_.front();
    }

  private:
    std::vector<T> items_;
};

// An open list that never holds more than `capacity` entries: once full, a new entry
// replaces the worst one if it is better, and is dropped otherwise.
template <class T, class Less>
class BoundedPriorityQueue {
  public:
    explicit BoundedPriorityQueue(std::size_t capacity) : heap_(capacity), capacity_(capacity) {
        QV_REQUIRE(capacity >= 1, "a bounded queue needs room for one entry");
    }

    void push(T entry) {
        if (heap_.size() < capacity_) {
            heap_.push(std::move(entry));
        } else if (Less{}(heap_.min(), entry)) {
            heap_.replace_min(std::move(entry));
        }
    }
    std::optional<T> pop() {
        if (heap_.size() == 0) return std::nullopt;
        return heap_.pop_max();
    }
    std::size_t size() const noexcept { return heap_.size(); }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return heap_.size() == 0; }

  private:
    support::MinMaxHeap<T, Less> heap_;
    std::size_t capacity_;
};

inline constexpr std::size_t kBoundedQueueCapacity = 400'000;

// --- successor streams --------------------------------------------------------------

// Successors of one state, one per applicable action of `relevant_actions` in list
// order, each offered to `keep` (which may record it) and dropped unless kept. Every
// call consumes the actions up to the first one that yields a kept successor.
template <class S, class Keep>
class SuccessorStream {
  public:
    SuccessorStream(const S& space, StatePtr state, Keep keep)
        : space_(&space), actions_(&space.relevant_actions()), state_(std::move(state)), keep_(std::move(keep)) {}

    StatePtr next() {
        while (position_ < actions_->size()) {
            Action action = (*actions_)[position_++];
            StatePtr successor = space_->get_successor_state(*state_, action);
            if (!successor) continue;
            if (!keep_(successor)) continue;
            return successor;
        }
        return nullptr;
    }

  private:
    const S* space_;
    const std::vector<Action>* actions_;
    StatePtr state_;
    Keep keep_;
    std::size_t position_ = 0;
};

template <class S, class Keep>
SuccessorStream<S, Keep> successor_stream(const S& space, StatePtr state, Keep keep) {
    return SuccessorStream<S, Keep>(space, std::move(state), std::move(keep));
}

// --- the common frame ---------------------------------------------------------------

inline SearchResult no_plan(std::int64_t expanded) {
    SearchResult r;
    r.statistics.emplace("expanded_states", std::to_string(expanded));
    return r;
}

inline SearchResult plan_of(const State& goal, std::int64_t expanded) {
    SearchResult r;
    r.plan = extract_path(goal);
    r.statistics.emplace("expanded_states", std::to_string(expanded));
    r.statistics.emplace("goal_depth", format_number(goal.g));
    return r;
}

inline void log_goal(const char* target, const std::string& name, std::int64_t expanded, double g) {
    QV_LOG(log::Level::Info, target,
           name + ": goal found \u2014 expanded=" + std::to_string(expanded) + " depth=" + format_number(g));
}

inline void log_no_solution(const char* target, const std::string& name, std::int64_t expanded) {
    QV_LOG(log::Level::Info, target, name + ": no solution found \u2014 expanded=" + std::to_string(expanded));
}

template <class G, class O>
void log_progress(const char* target, const std::string& name, std::int64_t expanded, G generated, O open) {
    QV_LOG(log::Level::Debug, target,
           name + ": expanded=" + std::to_string(expanded) + " generated=" + std::to_string(generated) +
               " open=" + std::to_string(open));
}

// --- breadth-first and depth-first ----------------------------------------------------

template <SearchableSpace S>
SearchResult basic_search(const S& space, bool breadth_first, std::optional<float> timeout,
                          bool early_termination) {
    const std::string name = breadth_first ? "bfs" : "dfs";
    QV_LOG(log::Level::Info, kTarget,
           name + ": timeout=" + format_timeout(timeout) + " early_termination=" + format_flag(early_termination));
    TimeLimit limit(timeout);
    StatePtr initial = space.initial_state(nullptr);
    if (early_termination && space.goal_reached(*initial, nullptr)) return plan_of(*initial, 0);

    std::deque<StatePtr> queue;
    queue.push_back(std::move(initial));
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    while (!queue.empty()) {
        limit.check();
        StatePtr state;
        if (breadth_first) {
            state = std::move(queue.front());
            queue.pop_front();
        } else {
            state = std::move(queue.back());
            queue.pop_back();
        }
        bump(expanded);
        if (expanded % static_cast<std::int64_t>(kProgressEvery) == 0)
            log_progress(kTarget, name, expanded, generated, queue.size());
        if (!early_termination && space.goal_reached(*state, nullptr)) {
            log_goal(kTarget, name, expanded, state->g);
            return plan_of(*state, expanded);
        }
        for (Action action : space.relevant_actions()) {
            StatePtr successor = space.get_successor_state(*state, action);
            if (!successor) continue;
            if (early_termination && space.goal_reached(*successor, nullptr)) {
                log_goal(kTarget, name, expanded, successor->g);
                return plan_of(*successor, expanded);
            }
            queue.push_back(std::move(successor));
            bump(generated);
        }
    }
    log_no_solution(kTarget, name, expanded);
    return no_plan(expanded);
}

// --- weighted best-first ----------------------------------------------------------------

// w·h + (1 − w)·g in 64-bit floating point.
inline double weighted_priority(double weight, double h, double g) noexcept {
    return weight * h + (1.0 - weight) * g;
}

// The loop of both weighted best-first searches, from the seeded open list on. They
// differ only in the open list and in how successors are generated, filtered against
// the states met before and evaluated: `expand` turns the state taken (handed over) into
// that stream of evaluated successors.
template <SearchableSpace S, class Open, class Expand>
SearchResult weighted_best_first_loop(const S& space, const std::string& name, double weight,
                                      const TimeLimit& limit, bool early_termination, Open& open,
                                      Expand&& expand) {
    std::uint64_t generated = 1;
    std::int32_t expanded = 0;
    while (true) {
        std::optional<PrioritizedItem> entry = open.pop();
        if (!entry) {
            log_no_solution(kTarget, name, expanded);
            return no_plan(expanded);
        }
        limit.check();
        bump(expanded);
        if (expanded % static_cast<std::int64_t>(kProgressEvery) == 0)
            log_progress(kTarget, name, expanded, generated, open.size());
        StatePtr state = std::move(entry->item);
        if (!early_termination && space.goal_reached(*state, nullptr)) {
            log_goal(kTarget, name, expanded, state->g);
            return plan_of(*state, expanded);
        }
        auto stream = expand(std::move(state));
        while (std::optional<EvaluatedState> item = stream.next()) {
            if (early_termination && space.goal_reached(*item->state, nullptr)) {
                log_goal(kTarget, name, expanded, item->state->g);
                return plan_of(*item->state, expanded);
            }
            if (item->value) {
                double priority = weighted_priority(weight, *item->value, item->state->g);
                open.push(PrioritizedItem{std::move(item->state), priority, generated});
            }
            bump(generated);
        }
    }
}

template <SearchableSpace S, class H>
    requires HeuristicTrait<H, S>
SearchResult wastar_search(const S& space, const H& heuristic, double weight, std::optional<float> timeout,
                           bool early_termination, bool weak_equality) {
    const std::string name = "wastar_search";
    QV_LOG(log::Level::Info, kTarget,
           name + ": weight=" + format_number(weight) + " timeout=" + format_timeout(timeout) +
               " early_termination=" + format_flag(early_termination) +
               " weak_equality=" + format_flag(weak_equality));
    TimeLimit limit(timeout);
    StatePtr initial = space.initial_state(nullptr);
    if (early_termination && space.goal_reached(*initial, nullptr)) return plan_of(*initial, 0);

    SeenSet seen(seen_policy(space.is_temporal(), weak_equality));
    seen.insert(initial);
    std::optional<double> h0 = eval_within(heuristic, *initial, space, &limit);
    if (!h0) return no_plan(0);

    BinaryHeap<PrioritizedItem, Worse> open;
    open.push(PrioritizedItem{std::move(initial), *h0, 0});
    // The seen set keeps a reference to every successor it records.
    return weighted_best_first_loop(space, name, weight, limit, early_termination, open, [&](StatePtr state) {
        auto keep = [&seen](const StatePtr& s) { return seen.insert(s); };
        return eval_gen(heuristic, successor_stream(space, std::move(state), keep), space, &limit);
    });
}

template <SearchableSpace S, class H>
    requires HeuristicTrait<H, S>
SearchResult wastar_search_memory_bounded(const S& space, const H& heuristic, double weight,
                                          std::optional<float> timeout, bool early_termination, bool weak_equality,
                                          std::size_t capacity = kBoundedQueueCapacity) {
    const std::string name = "wastar_search_memory_bounded";
    QV_LOG(log::Level::Info, kTarget,
           name + ": weight=" + format_number(weight) + " timeout=" + format_timeout(timeout) +
               " early_termination=" + format_flag(early_termination) +
               " weak_equality=" + format_flag(weak_equality));
    TimeLimit limit(timeout);
    StatePtr initial = space.initial_state(nullptr);
    if (early_termination && space.goal_reached(*initial, nullptr)) return plan_of(*initial, 0);

    // A temporal task without weak equality has no duplicate detection at all.
    std::unique_ptr<StateBloomFilter> filter;
    if (!space.is_temporal() || weak_equality) {
        filter = std::make_unique<StateBloomFilter>(space.is_temporal());
        filter->check_and_set(*initial);
    }
    std::optional<double> h0 = eval_within(heuristic, *initial, space, &limit);
    if (!h0) return no_plan(0);

    BoundedPriorityQueue<PrioritizedItem, Worse> open(capacity);
    open.push(PrioritizedItem{std::move(initial), *h0, 0});
    // The filter keeps no state: the successors are handed on as their only holder.
    StateBloomFilter* seen = filter.get();
    return weighted_best_first_loop(space, name, weight, limit, early_termination, open, [&](StatePtr state) {
        auto keep = [seen](const StatePtr& s) { return !seen || !seen->check_and_set(*s); };
        return eval_gen_owned(heuristic, successor_stream(space, std::move(state), keep), space, &limit);
    });
}

// --- enforced hill climbing ---------------------------------------------------------------

template <SearchableSpace S, class H>
    requires HeuristicTrait<H, S>
SearchResult ehc_search(const S& space, const H& heuristic, std::optional<float> timeout, bool early_termination,
                        bool weak_equality) {
    const std::string name = "ehc_search";
    QV_LOG(log::Level::Info, kTarget,
           name + ": timeout=" + format_timeout(timeout) + " early_termination=" + format_flag(early_termination) +
               " weak_equality=" + format_flag(weak_equality));
    TimeLimit limit(timeout);
    StatePtr initial = space.initial_state(nullptr);
    if (early_termination && space.goal_reached(*initial, nullptr)) return plan_of(*initial, 0);

    std::optional<double> h0 = eval_within(heuristic, *initial, space, &limit);
    if (!h0) return no_plan(0);
    double best = *h0;
    QV_LOG(log::Level::Debug, kTarget, name + ": initial h=" + format_fixed4(best));

    std::deque<StatePtr> queue;
    queue.push_back(std::move(initial));
    // States are recorded when expanded, and forgotten at every improvement.
    SeenSet seen(seen_policy(space.is_temporal(), weak_equality));
    std::int32_t expanded = 0;
    std::int32_t generated = 1;
    while (!queue.empty()) {
        StatePtr state = std::move(queue.front());
        queue.pop_front();
        limit.check();
        bump(expanded);
        if (!early_termination && space.goal_reached(*state, nullptr)) {
            log_goal(kTarget, name, expanded, state->g);
            return plan_of(*state, expanded);
        }
        seen.insert(state);
        auto stream = eval_gen(
            heuristic, successor_stream(space, state, [&seen](const StatePtr& s) { return !seen.contains(s); }),
            space, &limit);
        while (std::optional<EvaluatedState> item = stream.next()) {
            bump(generated);
            if (early_termination && space.goal_reached(*item->state, nullptr)) {
                log_goal(kTarget, name, expanded, item->state->g);
                return plan_of(*item->state, expanded);
            }
            if (!item->value) continue;
            if (*item->value < best) {
                best = *item->value;
                queue.clear();
                queue.push_back(std::move(item->state));
                QV_LOG(log::Level::Debug, kTarget,
                       name + ": improved h=" + format_fixed4(best) + " expanded=" + std::to_string(expanded) +
                           " generated=" + std::to_string(generated));
                seen.clear();
                break;
            }
            queue.push_back(std::move(item->state));
        }
    }
    log_no_solution(kTarget, name, expanded);
    return no_plan(expanded);
}

}  // namespace search
}  // namespace quorvane
