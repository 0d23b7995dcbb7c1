// hmax over explicit sets of possible values: every fluent keeps the set of values it
// could have reached so far, and the value of a state is the number of rounds of
// simultaneous, never-undone growth that pass before the goal can hold.
#include "engine/heuristics/explicit_hmax.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "engine/support/errors.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/heuristics/value_cache.hpp"
#include "engine/support/memory_probe.hpp"
#include "engine/expressions/splitting.hpp"
#include "engine/expressions/expression_manager.hpp"

namespace quorvane {

namespace {

using heuristics_detail::ValueMap;

// A set of values that remembers insertion order, so that combinations can be
// enumerated by position.
struct ValueSet {
    std::vector<ExpressionNode> items;
    boost::unordered_flat_set<ExpressionNode, support::FxHash<ExpressionNode>> members;
    bool insert(const ExpressionNode& v) {
        if (!members.insert(v).second) return false;
        items.push_back(v);
        return true;
    }
    void clear() {
        items.clear();
        members.clear();
    }
};

// Fluent values of one combination, borrowed from the possible-value sets.
struct BorrowedValues {
    const std::vector<const ExpressionNode*>* values;
    const ExpressionNode& fluent_value(std::uint64_t f) const {
        QV_REQUIRE(f < values->size() && (*values)[f], "a fluent without an assumed value");
        return *(*values)[f];
    }
};

enum : std::int8_t { kUnknown = -1, kFalse = 0, kTrue = 1 };

// With a time limit, an evaluation reads the clock at the start of every round but the
// first, and besides once per this many evaluated combinations, for long rounds.
constexpr std::uint64_t kCheckEvery = 1024;

// The least memory one member of a possible-value set occupies: the node in the
// insertion-ordered list and in the hash set, plus the set's control byte.
constexpr std::size_t kBytesPerValue = 2 * sizeof(ExpressionNode) + 1;
// Below this many bytes in the possible-value sets the memory available is not even
// looked up.
constexpr std::size_t kMemoryLookupFloor = std::size_t{64} << 20;

std::atomic<HMaxExplicit::MemoryProbe> memory_probe{nullptr};

std::optional<std::size_t> machine_memory_available() {
    HMaxExplicit::MemoryProbe probe = memory_probe.load(std::memory_order_acquire);
    return probe ? probe() : support::meminfo_available();
}

// Working tables of one evaluation; kept between evaluations (under the cache mutex,
// which every evaluation holds throughout) so that they are not reallocated each time.
struct Scratch {
    std::vector<ValueSet> possible;
    // Per fluent: how many of its possible values it had before the last merge; the
    // values from there on are the ones that merge added.
    std::vector<std::size_t> before_merge;
    std::vector<ValueSet> round_values;
    std::vector<std::uint64_t> round_touched;
    std::vector<std::uint8_t> changed;
    std::vector<std::uint64_t> changed_list;
    std::vector<std::uint8_t> enabled;
    std::vector<std::int8_t> condition;  // by handle
    // For a condition found false, per fluent of it (at the handle's offset): how many
    // possible values that fluent had then. Every combination within those counts is
    // known not to make it true.
    std::vector<std::size_t> tested;
    std::vector<std::size_t> from;  // where the new values of an effect's fluents start
    std::vector<const ExpressionNode*> assumed;
    std::vector<std::size_t> odometer;
    std::vector<std::uint8_t> prefix_new;
    std::vector<std::uint8_t> suffix_new;
    std::vector<std::uint64_t> progress;
    const TimeLimit* limit = nullptr;
    std::uint64_t work = 0;
    std::size_t values_held = 0;
    std::size_t round_held = 0;  // values offered in this round, not merged yet
    std::size_t memory_ceiling = 0;  // 0 until looked up
    std::size_t next_memory_lookup = 0;  // values held at which the machine is asked next
};

struct CacheHolder {
    std::mutex mutex;
    std::optional<ValueMap> map;
    Scratch scratch;
};

struct OperatorHmax {
    std::vector<FlatExpr> preconditions;
    std::vector<Expression> precondition_expressions;
    std::vector<Effect> effects;
    Action action;
    double cost = 1.0;
    // Distinct fluents of each precondition and of each effect value, in first-seen
    // order. Enumerating a repeated fluent once gives the same set of results as
    // enumerating it per occurrence, with fewer combinations.
    std::vector<std::vector<std::uint64_t>> precondition_vars;
    std::vector<std::vector<std::uint64_t>> effect_vars;
};

std::vector<std::uint64_t> distinct_fluents(std::span<const ExpressionNode> e) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t f : get_fluents(e))
        if (std::find(out.begin(), out.end(), f) == out.end()) out.push_back(f);
    return out;
}

std::vector<std::uint64_t> sorted_union(const std::vector<std::vector<std::uint64_t>>& lists) {
    std::vector<std::uint64_t> out;
    for (const auto& l : lists) out.insert(out.end(), l.begin(), l.end());
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

struct ProgressRange {
    Action action;
    std::uint64_t first;  // progress fluent of event 0
    std::uint64_t count;
};

}  // namespace

struct HMaxExplicit::Impl {
    std::vector<Action> actions;
    std::vector<ProgressRange> progress;  // the events map's actions, in its order
    std::vector<FlatExpr> goal_conditions;
    std::vector<Expression> goal_expressions;
    std::vector<std::vector<std::uint64_t>> goal_vars;
    std::vector<OperatorHmax> operators;
    std::vector<std::vector<std::uint64_t>> precondition_fluents;  // sorted
    std::vector<std::vector<std::uint64_t>> effect_fluents;        // sorted
    // Per condition handle: where its entries in Scratch::tested start.
    std::vector<std::size_t> tested_offset;
    std::size_t tested_slots = 0;
    // Fluents that can influence whether the goal can be true (see compute).
    std::vector<std::uint8_t> goal_relevant;
    std::size_t num_fluents = 0;
    std::size_t num_handles = 0;
    bool goal_never_boolean = false;
    std::shared_ptr<CacheHolder> cache;

    void find_goal_relevant();
    std::optional<double> compute(const State& state, Scratch& s) const;
    void begin_evaluation(const State& state, Scratch& s) const;
    void fire_operators(Scratch& s) const;
    bool merge_round(std::uint32_t round, Scratch& s) const;
    // Whether one of `fluents` gained values in the last merge.
    bool touches(const std::vector<std::uint64_t>& fluents, const Scratch& s) const {
        for (std::uint64_t f : fluents)
            if (f < num_fluents && s.changed[f]) return true;
        return false;
    }
    void give_tested_slots(const std::vector<Expression>& handles, const std::vector<std::vector<std::uint64_t>>& vars);
    template <class Visit>
    bool enumerate(const FlatExpr& e, const std::vector<std::uint64_t>& vars, const std::size_t* from, Scratch& s,
                   Visit&& visit) const;
    bool can_be_true(const std::vector<FlatExpr>& conditions, const std::vector<Expression>& handles,
                     const std::vector<std::vector<std::uint64_t>>& vars, Scratch& s) const;
};

// Goal-relevant fluents: those of the goal, and, for every operator with an effect on
// a relevant fluent, those of its preconditions and of that effect's value. Only
// relevant fluents decide the goal test, and their sets can only grow through effects
// on relevant fluents whose operators are enabled and fed by relevant fluents alone.
void HMaxExplicit::Impl::find_goal_relevant() {
    goal_relevant.assign(num_fluents, 0);
    auto mark = [this](std::uint64_t f) {
        if (f >= num_fluents || goal_relevant[f]) return false;
        goal_relevant[f] = 1;
        return true;
    };
    for (const auto& vars : goal_vars)
        for (std::uint64_t f : vars) mark(f);
    for (bool grew = true; grew;) {
        grew = false;
        for (std::size_t i = 0; i < operators.size(); ++i) {
            const OperatorHmax& op = operators[i];
            bool feeds = false;
            for (std::size_t j = 0; j < op.effects.size(); ++j) {
                const std::uint64_t f = op.effects[j].fluent;
                if (f >= num_fluents || !goal_relevant[f]) continue;
                feeds = true;
                for (std::uint64_t g : op.effect_vars[j]) grew = mark(g) || grew;
            }
            if (feeds)
                for (std::uint64_t g : precondition_fluents[i]) grew = mark(g) || grew;
        }
    }
}

void HMaxExplicit::Impl::give_tested_slots(const std::vector<Expression>& handles,
                                           const std::vector<std::vector<std::uint64_t>>& vars) {
    // Equal conditions share a handle, and with it their fluents.
    for (std::size_t i = 0; i < handles.size() && i < vars.size(); ++i) {
        std::size_t& offset = tested_offset[handles[i].index];
        if (offset != std::numeric_limits<std::size_t>::max()) continue;
        offset = tested_slots;
        tested_slots += vars[i].size();
    }
}

namespace {

// The sets only grow, and no evaluation that ends can hold more than this process can
// ever have; past that, a goal that depends on a fluent whose values never stop growing
// would keep the rounds going until memory ran out. The values offered in the current
// round count too: one round can multiply what the sets hold.
void check_memory(Scratch& s) {
    const std::size_t held = s.values_held + s.round_held;
    if (held <= kMemoryLookupFloor / kBytesPerValue) return;
    if (!s.memory_ceiling) s.memory_ceiling = support::process_memory_ceiling();
    if (held > s.memory_ceiling / kBytesPerValue) throw std::bad_alloc();
    // The ceiling counts each value at its least size and is rarely reached before the
    // kernel ends the process for want of memory: the sets grow their tables by
    // doubling, and one doubling asks for as much again as they hold. So, each time they
    // have grown by another floor's worth, ask the machine what it has left; when that
    // would not cover the next doubling (and a small reserve), the growth cannot go on.
    if (held >= s.next_memory_lookup) {
        s.next_memory_lookup = held + kMemoryLookupFloor / kBytesPerValue;
        const std::size_t doubling = held * kBytesPerValue;
        if (auto available = machine_memory_available(); available && *available < support::memory_reserve() + doubling)
            throw std::bad_alloc();
    }
}

// One more combination; now and then a look at the clock and at the memory held.
inline void tick(Scratch& s) {
    if (++s.work % kCheckEvery != 0) return;
    if (s.limit) s.limit->check();
    check_memory(s);
}

}  // namespace

// Visits the combinations of one possible value per fluent of `vars`, the last fluent
// varying fastest, until `visit` returns true (then true) or they run out (false).
// With `from` (one position per fluent), only the combinations that take at least one
// value at or past its fluent's position are visited, in the same order: the others
// were all visited before, and none of them stopped the enumeration or failed.
template <class Visit>
bool HMaxExplicit::Impl::enumerate(const FlatExpr& e, const std::vector<std::uint64_t>& vars,
                                   const std::size_t* from, Scratch& s, Visit&& visit) const {
    for (std::uint64_t f : vars) {
        QV_REQUIRE(f < num_fluents, "a condition or effect reads a fluent beyond the heuristic's fluents");
        if (s.possible[f].items.empty()) return false;
    }
    const BorrowedValues source{&s.assumed};
    auto evaluate = [&]() {
        tick(s);
        // The evaluator's own errors ("Expected a number!", "division by zero") reach
        // the caller as they do from the other heuristics and the searches.
        return visit(internal_evaluate(e, source));
    };
    const std::size_t k = vars.size();
    if (k == 0) return !from && evaluate();
    if (k == 1) {
        const std::vector<ExpressionNode>& items = s.possible[vars[0]].items;
        for (std::size_t i = from ? from[0] : 0; i < items.size(); ++i) {
            s.assumed[vars[0]] = &items[i];
            if (evaluate()) return true;
        }
        return false;
    }

    // An odometer over positions. prefix_new[i]: one of the positions before i is new;
    // suffix_new[i]: a fluent from i on has new values. A position may stay below its
    // `from` only while a later one can still be new.
    auto start = [from](std::size_t i) { return from ? from[i] : std::size_t{0}; };
    auto size = [&](std::size_t i) { return s.possible[vars[i]].items.size(); };
    s.odometer.assign(k, 0);
    s.prefix_new.assign(k + 1, 0);
    s.suffix_new.assign(k + 1, 0);
    for (std::size_t i = k; i-- > 0;) s.suffix_new[i] = s.suffix_new[i + 1] || start(i) < size(i);
    if (!s.suffix_new[0]) return false;
    auto set = [&](std::size_t i, std::size_t position) {
        s.odometer[i] = position;
        s.prefix_new[i + 1] = s.prefix_new[i] || position >= start(i);
        s.assumed[vars[i]] = &s.possible[vars[i]].items[position];
    };
    auto reset_from = [&](std::size_t first) {
        for (std::size_t i = first; i < k; ++i) set(i, s.prefix_new[i] || s.suffix_new[i + 1] ? 0 : start(i));
    };
    reset_from(0);
    for (;;) {
        if (evaluate()) return true;
        std::size_t i = k;
        for (;;) {
            if (i == 0) return false;
            --i;
            if (s.odometer[i] + 1 < size(i)) break;
        }
        set(i, s.odometer[i] + 1);
        reset_from(i + 1);
    }
}

bool HMaxExplicit::Impl::can_be_true(const std::vector<FlatExpr>& conditions, const std::vector<Expression>& handles,
                                     const std::vector<std::vector<std::uint64_t>>& vars, Scratch& s) const {
    QV_REQUIRE(handles.size() >= conditions.size(), "conditions without handles");
    for (std::size_t i = 0; i < conditions.size(); ++i) {
        const std::uint64_t h = handles[i].index;
        std::int8_t& known = s.condition[h];
        if (known == kTrue) continue;
        std::size_t* tested = s.tested.data() + tested_offset[h];
        const std::size_t* from = nullptr;
        if (known == kFalse) {
            bool moved = false;
            for (std::uint64_t f : vars[i]) moved = moved || (f < num_fluents && s.changed[f]);
            if (!moved) return false;
            from = tested;
        }
        const bool holds =
            enumerate(conditions[i], vars[i], from, s, [](const ExpressionNode& v) { return v.is_true(); });
        known = holds ? kTrue : kFalse;
        if (!holds) {
            for (std::size_t j = 0; j < vars[i].size(); ++j) tested[j] = s.possible[vars[i][j]].items.size();
            return false;
        }
    }
    return true;
}

std::optional<double> HMaxExplicit::Impl::compute(const State& state, Scratch& s) const {
    // Such a goal is never true: the rounds would run until the sets stop growing, or
    // for ever.
    if (goal_never_boolean) raise_goal_not_boolean();
    begin_evaluation(state, s);
    // A round looks only at what the last merge added: an enabled operator whose
    // inputs grew evaluates its effects over the combinations that take a new value,
    // and a condition found false before is tested again over the combinations that
    // take a value added since. Everything else was evaluated in an earlier round.
    std::uint32_t round = 0;
    bool any_changed = num_fluents > 0;
    while (any_changed) {
        if (round > 0 && s.limit) s.limit->check();
        if (can_be_true(goal_conditions, goal_expressions, goal_vars, s)) return static_cast<double>(round);
        fire_operators(s);
        const bool relevant = merge_round(round, s);
        check_memory(s);
        ++round;
        any_changed = !s.changed_list.empty();
        // Once no goal-relevant set grew, none ever grows again and every later goal
        // test fails as this round's did: the unbounded rounds would either run out of
        // changes (a dead end) or go on forever (an unbounded fluent that the goal does
        // not depend on). Both give a dead end here, so no returned value changes.
        if (any_changed && !relevant) return std::nullopt;
    }
    return std::nullopt;
}

// The scratch tables cleared and sized for this task, with the state's values (and
// its actions' progress) as the only possible values.
void HMaxExplicit::Impl::begin_evaluation(const State& state, Scratch& s) const {
    QV_REQUIRE(state.values.size() <= num_fluents, "a state with more values than the heuristic's fluents");
    s.possible.resize(num_fluents);
    s.round_values.resize(num_fluents);
    for (ValueSet& v : s.possible) v.clear();
    for (std::uint64_t f : s.round_touched) s.round_values[f].clear();
    s.round_touched.clear();
    s.assumed.assign(num_fluents, nullptr);
    s.changed.assign(num_fluents, 1);
    s.changed_list.clear();
    s.enabled.assign(operators.size(), 0);
    s.condition.assign(num_handles, kUnknown);
    s.tested.assign(tested_slots, 0);
    s.work = 0;
    s.memory_ceiling = 0;
    s.next_memory_lookup = 0;

    std::uint64_t i = 0;
    for (const ExpressionNode& v : state.values) s.possible[i++].insert(v);
    for (const ProgressRange& r : progress) {
        auto running = state.todo.find(r.action);
        // The position of the last event that happened; none when the next is event 0.
        const std::int64_t last = running != state.todo.end() ? static_cast<std::int64_t>(running->second.next_event) - 1
                                                              : static_cast<std::int64_t>(r.count) - 1;
        for (std::uint64_t p = 0; p < r.count; ++p) {
            ValueSet& set = s.possible[r.first + p];
            set.clear();
            set.insert(ExpressionNode::boolean(static_cast<std::int64_t>(p) == last));
        }
    }
    s.before_merge.resize(num_fluents);
    s.values_held = 0;
    s.round_held = 0;
    for (std::size_t f = 0; f < num_fluents; ++f) {
        s.before_merge[f] = s.possible[f].items.size();
        s.values_held += s.possible[f].items.size();
    }
}

// Every operator that is enabled, or became so, and whose inputs grew offers its
// effects' values for this round.
void HMaxExplicit::Impl::fire_operators(Scratch& s) const {
    for (std::size_t o = 0; o < operators.size(); ++o) {
        const OperatorHmax& op = operators[o];
        const bool was_enabled = s.enabled[o];
        if (was_enabled) {
            if (!touches(effect_fluents[o], s)) continue;
        } else {
            if (!touches(precondition_fluents[o], s)) continue;
            if (!can_be_true(op.preconditions, op.precondition_expressions, op.precondition_vars, s)) continue;
            s.enabled[o] = 1;
        }
        for (std::size_t j = 0; j < op.effects.size(); ++j) {
            const std::uint64_t f = op.effects[j].fluent;
            QV_REQUIRE(f < num_fluents, "an effect on a fluent beyond the heuristic's fluents");
            const std::vector<std::uint64_t>& vars = op.effect_vars[j];
            const std::size_t* from = nullptr;
            if (was_enabled) {
                // It fired over every combination of the values before the last
                // merge: in the round it was enabled, or since then whenever its
                // inputs grew.
                if (!touches(vars, s)) continue;
                s.from.resize(vars.size());
                for (std::size_t v = 0; v < vars.size(); ++v) s.from[v] = s.before_merge[vars[v]];
                from = s.from.data();
            }
            ValueSet& out = s.round_values[f];
            if (out.items.empty()) s.round_touched.push_back(f);
            enumerate(op.effects[j].value, vars, from, s, [&out, &s](const ExpressionNode& v) {
                if (out.insert(v)) ++s.round_held;
                return false;
            });
        }
    }
}

// Merges this round's values into the possible ones. Returns whether a goal-relevant
// set grew.
bool HMaxExplicit::Impl::merge_round(std::uint32_t round, Scratch& s) const {
    for (std::uint64_t f : s.changed_list) {
        s.changed[f] = 0;
        s.before_merge[f] = s.possible[f].items.size();
    }
    if (round == 0) std::fill(s.changed.begin(), s.changed.end(), 0);
    s.changed_list.clear();
    bool relevant = false;
    for (std::uint64_t f : s.round_touched) {
        ValueSet& set = s.possible[f];
        const std::size_t before = set.items.size();
        for (const ExpressionNode& v : s.round_values[f].items) set.insert(v);
        s.round_values[f].clear();
        if (set.items.size() != before) {
            s.before_merge[f] = before;
            s.values_held += set.items.size() - before;
            s.changed[f] = 1;
            s.changed_list.push_back(f);
            relevant = relevant || goal_relevant[f];
        }
    }
    s.round_touched.clear();
    s.round_held = 0;
    return relevant;
}

HMaxExplicit::HMaxExplicit(const std::vector<Action>& actions, const std::vector<std::string>& fluent_types,
                           const ActionEvents& events, const FlatExpr& goals, bool internal_caching)
    : impl_(std::make_unique<Impl>()) {
    Impl& h = *impl_;
    h.actions = actions;
    ExpressionManager manager;  // only the handles it gives out outlive the construction
    std::uint64_t n = fluent_types.size();
    FlatExpr idle_list;
    for (const auto& [a, list] : events) {
        const std::uint64_t k = list.size();
        // The idle fluent of an action without events would name a fluent outside its
        // own range (or none at all): refuse the input instead of testing it.
        QV_REQUIRE(k > 0, "an action without events");
        h.progress.push_back({a, n, k});
        idle_list.push_back(ExpressionNode::fluent(n + k - 1));
        FlatExpr previous{ExpressionNode::fluent(n + k - 1)};
        for (std::uint64_t i = 0; i < k; ++i) {
            const Event& event = list[i].second;
            OperatorHmax op;
            op.effects.push_back(Effect{n + i, FlatExpr{ExpressionNode::boolean(true)}});
            op.effects.insert(op.effects.end(), event.effects.begin(), event.effects.end());
            op.preconditions.push_back(previous);

            for (FlatExpr& c : heuristics_detail::distinct_event_conditions(event, manager)) {
                if (c.empty() || (c.size() == 1 && c[0].is_true())) continue;
                for (FlatExpr& part : split_expression(c)) op.preconditions.push_back(std::move(part));
            }
            const bool never = std::any_of(op.preconditions.begin(), op.preconditions.end(),
                                           [](const FlatExpr& c) { return c.size() == 1 && c[0].is_false(); });
            if (!never) {
                for (const FlatExpr& c : op.preconditions) op.precondition_expressions.push_back(manager.put(c));
                op.action = a;
                op.cost = 1.0;
                h.operators.push_back(std::move(op));
            }
            previous = FlatExpr{ExpressionNode::fluent(n + i)};
        }
        n += k;
    }

    h.goal_never_boolean = heuristics_detail::goal_never_boolean(goals, fluent_types);
    h.goal_conditions = split_expression(goals);
    h.goal_conditions.insert(h.goal_conditions.end(), idle_list.size(), FlatExpr{});
    for (std::size_t i = 0; i < idle_list.size(); ++i)
        h.goal_conditions[h.goal_conditions.size() - idle_list.size() + i] = FlatExpr{idle_list[i]};
    for (const FlatExpr& c : h.goal_conditions) {
        h.goal_expressions.push_back(manager.put(c));
        h.goal_vars.push_back(distinct_fluents(c));
    }

    for (OperatorHmax& op : h.operators) {
        for (const FlatExpr& c : op.preconditions) op.precondition_vars.push_back(distinct_fluents(c));
        for (const Effect& e : op.effects) op.effect_vars.push_back(distinct_fluents(e.value));
        h.precondition_fluents.push_back(sorted_union(op.precondition_vars));
        h.effect_fluents.push_back(sorted_union(op.effect_vars));
    }
    h.num_fluents = n;
    h.num_handles = manager.size();
    h.tested_offset.assign(h.num_handles, std::numeric_limits<std::size_t>::max());
    h.give_tested_slots(h.goal_expressions, h.goal_vars);
    for (const OperatorHmax& op : h.operators) h.give_tested_slots(op.precondition_expressions, op.precondition_vars);
    h.find_goal_relevant();
    h.cache = std::make_shared<CacheHolder>();
    if (internal_caching) h.cache->map.emplace();
}

HMaxExplicit::HMaxExplicit(const HMaxExplicit& o) : impl_(std::make_unique<Impl>(*o.impl_)) {}

HMaxExplicit::HMaxExplicit(HMaxExplicit&&) noexcept = default;

HMaxExplicit::~HMaxExplicit() = default;

std::optional<double> HMaxExplicit::eval(const State& state, const TimeLimit* limit) const {
    CacheHolder& cache = *impl_->cache;
    std::lock_guard<std::mutex> lock(cache.mutex);
    Scratch& s = cache.scratch;
    s.limit = limit;
    std::optional<double> value;
    try {
        auto compute = [&] { return impl_->compute(state, s); };
        value = cache.map ? heuristics_detail::cached_value(*cache.map, impl_->actions, state, s.progress, compute)
                          : compute();
    } catch (...) {
        // A failed evaluation may have grown the tables without bound (up to exhausted
        // memory): let that memory go at once.
        cache.scratch = Scratch{};
        throw;
    }
    // Tables grown far beyond the usual are not kept for the next evaluation either.
    if (s.values_held > kMemoryLookupFloor / kBytesPerValue) cache.scratch = Scratch{};
    return value;
}

void HMaxExplicit::set_memory_probe_for_testing(MemoryProbe probe) noexcept {
    memory_probe.store(probe, std::memory_order_release);
}

}  // namespace quorvane
