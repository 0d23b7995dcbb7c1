// The network of a search state against the plain one it replaced. ReferenceSuccessors
// below is the earlier successor generation of temporal tasks, kept here as it was: every
// constraint posted one by one into a DeltaSTN<double> keyed by time points, the
// interference of events answered from their fluent sets. On random temporal tasks both
// must give the same successors, the same errors and instance numbers, and networks that
// agree point by point: the same potentials, bit for bit, and the same out-edge lists in
// the same order.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/space/search_space.hpp"
#include "engine/temporal/delta_stn.hpp"
#include "engine/temporal/search_network.hpp"
#include "node_builders.hpp"
#include "small_stack.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using RefNetwork = DeltaSTN<double>;

// --- the reference: the earlier successor generation of a temporal task --------------------

// The sets of `ref`; an index outside the table is a broken precondition.
const EventFluentSets& fluent_sets_of(const FluentSetTable& table, const EventRef& ref) {
    QV_REQUIRE(ref.action.idx < table.size(), "event of an action beyond the search space's fluent sets");
    const auto& row = table[ref.action.idx];
    QV_REQUIRE(ref.pos < row.size(), "event position beyond its action's fluent sets");
    return row[ref.pos];
}

// The interference test without tables: events of one action always interfere, others by
// their fluent sets (an event outside the sets fails with the sets' error).
bool reference_interferes(const SearchSpace& space, const EventRef& first, const EventRef& second) {
    if (first.action == second.action) return true;
    const EventFluentSets& s = fluent_sets_of(space.fluent_sets(), first);
    const EventFluentSets& t = fluent_sets_of(space.fluent_sets(), second);
    return detail::Interferes::holds(s, t);
}

struct ReferenceChild {
    StateBox state;  // its own network is not used: `network` stands for it
    RefNetwork network;
};

class ReferenceSuccessors {
  public:
    ReferenceSuccessors(const SearchSpace& space, std::vector<std::optional<DurationBounds>> durations)
        : space_(space), durations_(std::move(durations)) {}

    RefNetwork initial_network() const {
        RefNetwork network(space_.epsilon_float() / 1000.0);
        if (space_.deadline()) {
            network.add(TNInterpreter::horizon, TNInterpreter::origin, *space_.deadline());
            network.add(TNInterpreter::origin, TNInterpreter::horizon, -*space_.deadline());
        }
        return network;
    }

    // The successor of `parent` for `action`, numbering from `counter` (advanced as the
    // search space advances its own); nullopt when the action is not applicable. The
    // task's conditions always hold, so only the running actions decide applicability.
    std::optional<ReferenceChild> successor(const State& parent, const RefNetwork& parent_net, Action action,
                                            bool compress, std::uint32_t& counter) const {
        const std::vector<TimedEvent>* events = space_.events_of(action);
        if (!events) return std::nullopt;
        const std::size_t n = events->size();
        if (auto running = parent.todo.find(action); running != parent.todo.end()) {
            const RunningEntry entry = running->second;
            if (entry.next_event >= n) return std::nullopt;
            ReferenceChild c{parent.clone_for_child(), parent_net};
            if (entry.next_event + 1 < n)
                c.state->todo.insert_or_assign(action, RunningEntry{entry.next_event + 1, entry.instance + 1});
            else
                c.state->todo.erase(action);
            expand_event(parent, c, (*events)[entry.next_event].second, entry.next_event, entry.instance);
            return c;
        }
        QV_REQUIRE(n > 0, "empty event list");
        ReferenceChild c{parent.clone_for_child(), parent_net};
        std::uint32_t first = counter;
        post_start_constraints(parent, c.network, action, *events, counter);
        first = first + 1;
        if (n > 1) c.state->todo.insert_or_assign(action, RunningEntry{1, first + 1});
        if (!expand_event(parent, c, (*events)[0].second, 0, first)) return c;
        if (compress && compression_safe(action) && n > 1) {
            const std::uint32_t m = c.state->todo.find(action)->second.instance;
            c.state->todo.erase(action);
            for (std::size_t k = 1; k < n; ++k) {
                StateBox before = c.state->clone_for_child();
                if (!expand_event(*before, c, (*events)[k].second, k, m + static_cast<std::uint32_t>(k - 1)))
                    return c;
            }
        }
        return c;
    }

    std::vector<bool> compression_safe_actions;

  private:
    bool compression_safe(Action a) const {
        return a.idx < compression_safe_actions.size() && compression_safe_actions[a.idx];
    }

    void post_start_constraints(const State& parent, RefNetwork& net, Action action,
                                const std::vector<TimedEvent>& events, std::uint32_t& counter) const {
        const TNInterpreter& tn = space_.tn_interpreter();
        const std::uint64_t s = time_point_key(tn.get_action_point(action, true), counter);
        const std::uint64_t e = time_point_key(tn.get_action_point(action, false), counter);
        ++counter;
        QV_REQUIRE(action.idx < durations_.size(), "beyond the durations");
        double lower = 0.0, upper = 0.0;
        bool lower_open = false, upper_open = false;
        if (const auto& bounds = durations_[action.idx]) {
            lower = get_rational_from_expression_node(
                        internal_evaluate(std::span<const ExpressionNode>(bounds->lower), parent))
                        .to_double();
            upper = get_rational_from_expression_node(
                        internal_evaluate(std::span<const ExpressionNode>(bounds->upper), parent))
                        .to_double();
            lower_open = bounds->lower_open;
            upper_open = bounds->upper_open;
        }
        const double eps = space_.epsilon_float();
        net.add(s, e, lower_open ? -lower - eps : -lower);
        net.add(e, s, upper_open ? upper - eps : upper);
        net.add(TNInterpreter::origin, s, 0.0);
        net.add(e, TNInterpreter::horizon, -eps);
        for (const auto& [timing, event] : events) {
            const std::uint64_t x = time_point_key(tn.get_event_point(event.action, event.pos), counter);
            const std::uint64_t r = timing.start ? s : e;
            const double d = timing.delay.to_double();
            net.add(r, x, -d);
            net.add(x, r, d);
            ++counter;
        }
    }

    // Only the path, the running actions and the network: conditions hold and effects
    // do not matter to the network.
    bool expand_event(const State& parent, ReferenceChild& child, const Event& event, std::size_t pos,
                      std::uint32_t instance) const {
        child.state->path = child.state->path.append(PathEntry{event.action, event.pos, instance});
        const TNInterpreter& tn = space_.tn_interpreter();
        RefNetwork& net = child.network;
        const double eps = space_.epsilon_float();
        const EventRef self{event.action, pos};
        const std::uint64_t key = time_point_key(tn.get_event_point(event.action, event.pos), instance);
        for (const PathEntry& earlier : parent.path.iter_rev()) {
            const std::uint64_t k = time_point_key(tn.get_event_point(earlier.action, earlier.pos), earlier.instance);
            const bool mutex = reference_interferes(space_, self, EventRef{earlier.action, earlier.pos});
            net.add(k, key, mutex ? -eps : 0.0);
        }
        for (const auto& [running, entry] : child.state->todo) {
            const std::vector<TimedEvent>* list = space_.events_of(running);
            QV_REQUIRE(list, "a running action without events");
            for (std::size_t q = entry.next_event; q < list->size(); ++q) {
                const Event& pending = (*list)[q].second;
                const std::uint32_t inst = entry.instance + static_cast<std::uint32_t>(q - entry.next_event);
                const std::uint64_t k = time_point_key(tn.get_event_point(pending.action, pending.pos), inst);
                const bool mutex = reference_interferes(space_, self, EventRef{running, q});
                net.add(key, k, mutex ? -eps : 0.0);
            }
        }
        return net.consistent();
    }

    const SearchSpace& space_;
    std::vector<std::optional<DurationBounds>> durations_;
};

// --- comparing networks -----------------------------------------------------------------------

std::uint64_t bits_of(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Potentials compared bit for bit; edge lists in order, weights bit for bit.
::testing::AssertionResult same_network(const SearchNetwork& actual, const RefNetwork& expected) {
    if (actual.consistent() != expected.consistent()) return ::testing::AssertionFailure() << "verdicts differ";
    if (actual.num_points() != expected.distances().size())
        return ::testing::AssertionFailure() << actual.num_points() << " points, expected "
                                             << expected.distances().size();
    std::map<std::uint64_t, std::uint64_t> got, want;
    for (const auto& [key, p] : actual.points()) got.emplace(key, bits_of(p));
    for (const auto& [key, p] : expected.distances()) want.emplace(key, bits_of(p));
    if (got != want) return ::testing::AssertionFailure() << "potentials differ";
    for (const auto& [key, list] : expected.constraints()) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> edges, expected_edges;
        for (const auto& [target, w] : actual.out_edges(key)) edges.emplace_back(target, bits_of(w));
        for (const auto* e = list.head(); e; e = e->next()) expected_edges.emplace_back(e->node, bits_of(e->weight));
        if (edges != expected_edges)
            return ::testing::AssertionFailure() << "out-edges of point " << (key >> 32) << "/"
                                                 << static_cast<std::uint32_t>(key) << " differ: " << edges.size()
                                                 << " edges, expected " << expected_edges.size();
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> path_of(const State& s) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> out;
    for (const PathEntry& e : s.path.iter_rev()) out.emplace_back(e.action.idx, e.pos, e.instance);
    return out;
}

std::map<std::uint64_t, std::pair<std::uint64_t, std::uint32_t>> todo_of(const State& s) {
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint32_t>> out;
    for (const auto& [a, e] : s.todo) out.emplace(a.idx, std::make_pair(e.next_event, e.instance));
    return out;
}

// --- random temporal tasks ---------------------------------------------------------------------

struct RandomTask {
    SearchSpaceInput input;
    std::vector<std::optional<DurationBounds>> durations;
    std::vector<bool> compression_safe;
};

// A condition that always holds and reads `fluents`: (f1 or (f2 or ... true)).
FlatExpr reading(const std::vector<std::uint64_t>& fluents) {
    FlatExpr e;
    for (std::uint64_t f : fluents) e.push_back(F(f));
    e.push_back(B(true));
    NodeIndex right = e.size() - 1;
    for (std::size_t i = fluents.size(); i-- > 0;) {
        e.push_back(Op("or", {i, right}));
        right = e.size() - 1;
    }
    return e;
}

ExpressionNode rational_node(const Rational& r) { return ExpressionNode::rational(r); }

// Durations, delays and separations drawn from values that sit on, just inside and just
// outside the network's tolerance (epsilon / 1000) of each other, so that implied edges,
// ignored improvements and tolerable cycles are common.
RandomTask random_task(std::mt19937& rng, bool broken) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    auto chance = [&](int percent) { return pick(100) < percent; };
    RandomTask t;
    const Rational epsilons[] = {mk_rational(1, 100), mk_rational(1, 3), mk_rational(1, 1000), Rational(0),
                                 mk_rational(1, 8)};
    const Rational eps = epsilons[pick(5)];
    const Rational half_tol = eps * mk_rational(1, 2000);
    const Rational values[] = {Rational(0), eps, eps + eps, half_tol, eps - half_tol, Rational(1), Rational(1) + half_tol,
                               Rational(1) - eps * mk_rational(1, 3000), mk_rational(3, 2), Rational(2),
                               mk_rational(5, 2), Rational(3) + eps};
    const std::size_t num_values = std::size(values);
    if (!(eps == mk_rational(1, 100)) || chance(30)) t.input.epsilon = eps;
    if (chance(40)) {
        const Rational deadlines[] = {Rational(2), mk_rational(5, 2), Rational(4), Rational(10), Rational(3) + half_tol};
        t.input.deadline = deadlines[pick(5)];
    }

    const std::size_t num_actions = 2 + pick(4), num_fluents = 2 + pick(4);
    for (std::uint64_t a = 0; a < num_actions; ++a) t.input.actions.push_back(Action{a});
    for (std::uint64_t a = 0; a < num_actions; ++a) {
        const Action action{a};
        if (a == 0 || chance(65)) {
            Rational lo = values[pick(num_values)], hi = values[pick(num_values)];
            if (chance(50) && hi < lo) std::swap(lo, hi);
            t.durations.push_back(DurationBounds{{rational_node(lo)}, {rational_node(hi)}, chance(30), chance(30)});
        } else {
            t.durations.push_back(std::nullopt);
        }
        std::vector<TimedEvent> list;
        const std::size_t num_events = 1 + pick(3);
        for (std::size_t k = 0; k < num_events; ++k) {
            Event e;
            e.action = action;
            e.pos = k;
            std::vector<std::uint64_t> reads;
            for (std::uint64_t f = 0; f < num_fluents; ++f)
                if (chance(30)) reads.push_back(f);
            e.conditions = reading(reads);
            for (std::uint64_t f = 0; f < num_fluents; ++f)
                if (chance(25)) e.effects.push_back(Effect{f, {B(chance(50))}});
            if (chance(15)) e.effects.push_back(Effect{static_cast<std::uint64_t>(pick(num_fluents)), {F(pick(num_fluents))}});
            const bool from_start = k == 0 || chance(50);
            list.emplace_back(Timing{from_start, values[pick(num_values)] * Rational(pick(2))}, std::move(e));
        }
        t.input.events.emplace_back(action, std::move(list));
        t.compression_safe.push_back(chance(40));
    }
    if (broken) {
        // One broken precondition: an event whose position is not its place in the list, an
        // event naming a pair without a time point, or an action listed without its points.
        auto& list = t.input.events[pick(num_actions)].second;
        switch (pick(3)) {
            case 0: list[pick(list.size())].second.pos += 5; break;
            case 1: list[pick(list.size())].second.pos = 40; break;
            default: t.input.actions[pick(num_actions)] = Action{(t.input.actions.size() + 1) % num_actions}; break;
        }
    }
    t.input.actions_duration = t.durations;
    t.input.compression_safe_actions = t.compression_safe;
    t.input.initial_state = FlatExpr(num_fluents, B(false));
    return t;
}

struct Outcome {
    bool applicable = false;
    std::string error;  // empty: none
    std::uint32_t counter = 0;
};

std::string describe(const std::exception& e) {
    return std::string(dynamic_cast<const InternalError*>(&e) ? "internal: " : "error: ") + e.what();
}

// --- the comparison ----------------------------------------------------------------------------

struct WalkStats {
    int successors = 0, rejected = 0, errors = 0, compressed = 0, deadline_tasks = 0;
};

void compare_on_random_walks(std::uint32_t seed, int tasks, bool broken, WalkStats& stats) {
    std::mt19937 rng(seed);
    for (int task_number = 0; task_number < tasks; ++task_number) {
        SCOPED_TRACE("task " + std::to_string(task_number));
        RandomTask task = random_task(rng, broken);
        stats.deadline_tasks += task.input.deadline.has_value();
        const std::vector<std::optional<DurationBounds>> durations = task.durations;
        std::unique_ptr<SearchSpace> space;
        try {
            space = std::make_unique<SearchSpace>(std::move(task.input));
        } catch (const InternalError&) {
            continue;  // a broken task that construction refuses
        }
        ReferenceSuccessors reference(*space, durations);
        reference.compression_safe_actions = task.compression_safe;

        StatePtr state = space->initial_state();
        RefNetwork network = reference.initial_network();
        ASSERT_TRUE(same_network(*state->temporal_network, network));
        for (int depth = 0; depth < 14; ++depth) {
            SCOPED_TRACE("depth " + std::to_string(depth));
            std::vector<std::pair<StatePtr, RefNetwork>> children;
            for (std::uint64_t a = 0; a < task.compression_safe.size(); ++a) {
                const bool compress = std::uniform_int_distribution<int>(0, 1)(rng) == 1;
                const std::uint32_t counter = space->instance_counter();
                Outcome got, want;
                StatePtr child;
                try {
                    child = space->get_successor_state_with_compression(*state, Action{a}, compress);
                    got.applicable = child != nullptr;
                } catch (const std::exception& e) {
                    got.error = describe(e);
                }
                got.counter = space->instance_counter();

                std::optional<ReferenceChild> expected;
                want.counter = counter;
                try {
                    expected = reference.successor(*state, network, Action{a}, compress, want.counter);
                    want.applicable = expected && expected->network.consistent();
                } catch (const std::exception& e) {
                    want.error = describe(e);
                }
                ASSERT_EQ(got.error, want.error) << "action " << a;
                ASSERT_EQ(got.applicable, want.applicable) << "action " << a;
                ASSERT_EQ(got.counter, want.counter) << "action " << a;
                if (!got.error.empty()) {
                    ++stats.errors;
                    continue;
                }
                if (!got.applicable) {
                    stats.rejected += expected.has_value();
                    continue;
                }
                ++stats.successors;
                stats.compressed += child->path.iter_rev().begin() != child->path.iter_rev().end() &&
                                    path_of(*child).size() > path_of(*state).size() + 1;
                ASSERT_EQ(path_of(*child), path_of(*expected->state));
                ASSERT_EQ(todo_of(*child), todo_of(*expected->state));
                ASSERT_TRUE(same_network(*child->temporal_network, expected->network)) << "action " << a;
                children.emplace_back(std::move(child), std::move(expected->network));
            }
            if (children.empty()) break;
            auto& next = children[std::uniform_int_distribution<std::size_t>(0, children.size() - 1)(rng)];
            state = std::move(next.first);
            network = std::move(next.second);
        }
    }
}

TEST(SearchNetworkAgainstReference, SameSuccessorsAndNetworksOnRandomTemporalTasks) {
    WalkStats stats;
    compare_on_random_walks(20240607, 400, false, stats);
    // The walks must have met every outcome often enough to mean something.
    EXPECT_GT(stats.successors, 3000);
    EXPECT_GT(stats.rejected, 500);
    EXPECT_GT(stats.compressed, 100);
    EXPECT_GT(stats.deadline_tasks, 100);
}

TEST(SearchNetworkAgainstReference, SameErrorsOnTasksThatBreakTheirPreconditions) {
    WalkStats stats;
    compare_on_random_walks(77, 300, true, stats);
    EXPECT_GT(stats.errors, 100);
    EXPECT_GT(stats.successors, 500);
}

// --- the same constraints, posted directly ---------------------------------------------------

// Random sequences of the constraints a search posts (starts with their durations and
// timings, applications with their orderings), posted to a SearchNetwork and, as the
// plain adds they stand for, to a DeltaSTN. Weights are multiples of 1/8 around a
// tolerance of 1, so that ignored improvements, implied edges, tolerable cycles and
// propagations that only the termination bound ends are all common; search tasks, whose
// tolerance is tiny next to their durations, seldom get there.
struct ScriptStats {
    int steps = 0, inconsistent = 0, consistent = 0;
};

void run_random_script(std::mt19937& rng, ScriptStats& stats) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    auto weight = [&] { return std::uniform_int_distribution<int>(-20, 24)(rng) / 8.0; };
    const double tolerance = 1.0, eps = pick(12) / 8.0;
    SearchNetwork net(tolerance);
    RefNetwork ref(tolerance);
    if (pick(3) == 0) {
        const double d = 2.0 + pick(40) / 8.0;
        net.post_deadline(d);
        ref.add(TNInterpreter::horizon, TNInterpreter::origin, d);
        ref.add(TNInterpreter::origin, TNInterpreter::horizon, -d);
    }
    struct Start {
        std::uint64_t action;
        std::uint32_t instance;
        std::size_t events, next;
    };
    std::vector<Start> running;  // at most one per action
    std::vector<std::uint64_t> applied;  // keys, oldest first
    std::uint32_t counter = 0;
    auto event_key = [](const Start& s, std::size_t k) {
        return time_point_key(100 + static_cast<PointId>(10 * s.action + k), s.instance + 1 + static_cast<std::uint32_t>(k));
    };
    auto apply = [&](Start& st, std::size_t k) {
        const std::uint64_t key = event_key(st, k);
        std::size_t pending = 0;
        for (const Start& r : running) pending += r.events - r.next;
        pending -= (&st >= running.data() && &st < running.data() + running.size()) ? 1 : 0;
        net.begin_apply(key, st.instance + 1 + static_cast<std::uint32_t>(k), k, st.action, 0, eps, pending);
        const SearchNetwork::AppliedEvent* older = net.newest_applied() ? net.newest_applied()->older() : nullptr;
        for (std::size_t i = applied.size(); i-- > 0;) {
            const bool interferes = pick(2) == 0;
            ref.add(applied[i], key, interferes ? -eps : 0.0);
            if (older) {
                net.post_after(*older, interferes);
                older = older->older();
            }
        }
        applied.push_back(key);
        ++st.next;
    };
    for (int step = 0; step < 12 && net.consistent(); ++step) {
        // Every action runs at most once at a time: with all five running, only their
        // pending events can be applied.
        const bool start = running.empty() || (running.size() < 5 && pick(2) == 0);
        if (start) {
            std::uint64_t action;
            do action = pick(5);
            while (std::any_of(running.begin(), running.end(), [&](const Start& r) { return r.action == action; }));
            Start st{action, counter, 1 + static_cast<std::size_t>(pick(3)), 0};
            counter += 1 + static_cast<std::uint32_t>(st.events);
            const std::uint64_t s = time_point_key(static_cast<PointId>(3 + 2 * action), st.instance);
            const std::uint64_t e = time_point_key(static_cast<PointId>(4 + 2 * action), st.instance);
            // Mostly a feasible duration, sometimes an arbitrary (often empty) range.
            const double lo = weight();
            const double hi = pick(4) == 0 ? weight() : lo + pick(16) / 8.0;
            net.begin_start(action, st.instance, s, e, st.events);
            net.post_duration(-lo, hi, eps);
            ref.add(s, e, -lo);
            ref.add(e, s, hi);
            ref.add(TNInterpreter::origin, s, 0.0);
            ref.add(e, TNInterpreter::horizon, -eps);
            for (std::size_t k = 0; k < st.events; ++k) {
                const bool from_start = pick(2) == 0;
                const double delay = pick(16) / 8.0;
                net.post_event_timing(k, event_key(st, k), from_start, delay);
                ref.add(from_start ? s : e, event_key(st, k), -delay);
                ref.add(event_key(st, k), from_start ? s : e, delay);
            }
            if (st.events > 1) running.push_back(st);
            Start& applied_start = st.events > 1 ? running.back() : st;
            apply(applied_start, 0);
            for (const Start& r : running)
                for (std::size_t q = r.next; q < r.events; ++q) {
                    const double w = pick(2) == 0 ? -eps : 0.0;
                    net.post_before(r.action, q, r.instance + 1 + static_cast<std::uint32_t>(q), w);
                    ref.add(applied.back(), event_key(r, q), w);
                }
        } else {
            const std::size_t which = pick(running.size());
            Start st = running[which];
            running.erase(running.begin() + which);
            if (st.next + 1 < st.events) running.push_back(st);
            // The network finds the running start by itself: it still lists it.
            Start& moved = st.next + 1 < st.events ? running.back() : st;
            moved.next = st.next;
            apply(moved, st.next);
            for (const Start& r : running)
                for (std::size_t q = r.next; q < r.events; ++q) {
                    const double w = pick(2) == 0 ? -eps : 0.0;
                    net.post_before(r.action, q, r.instance + 1 + static_cast<std::uint32_t>(q), w);
                    ref.add(applied.back(), event_key(r, q), w);
                }
        }
        ++stats.steps;
        ASSERT_TRUE(same_network(net, ref)) << "step " << step;
    }
    stats.inconsistent += !net.consistent();
    stats.consistent += net.consistent();
}

TEST(SearchNetworkAgainstReference, SameNetworksForConstraintsAroundTheTolerance) {
    std::mt19937 rng(99);
    ScriptStats stats;
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        run_random_script(rng, stats);
        if (::testing::Test::HasFatalFailure()) return;
    }
    // The scripts must have met both outcomes often enough to mean something.
    EXPECT_GT(stats.steps, 10000);
    EXPECT_GT(stats.inconsistent, 300);
    EXPECT_GT(stats.consistent, 50);
}

// --- the network's own properties ----------------------------------------------------------------

// A copy shares what it has and diverges without touching the original.
TEST(SearchNetwork, CopiesDivergeWithoutTouchingEachOther) {
    SearchNetwork net(0.0);
    net.post_deadline(10.0);
    net.begin_start(0, 0, time_point_key(3, 0), time_point_key(4, 0), 1);
    net.post_duration(-2.0, 2.0, 0.5);
    net.post_event_timing(0, time_point_key(5, 1), true, 0.0);
    net.begin_apply(time_point_key(5, 1), 1, 0, 0, 0, 0.5, 0);
    ASSERT_TRUE(net.consistent());
    const auto points = net.points();

    SearchNetwork copy = net;
    copy.begin_start(1, 2, time_point_key(6, 2), time_point_key(7, 2), 1);
    copy.post_duration(-3.0, 3.0, 0.5);
    copy.post_event_timing(0, time_point_key(8, 3), true, 0.0);
    copy.begin_apply(time_point_key(8, 3), 3, 0, 1, 1, 0.5, 0);
    copy.post_after(*copy.newest_applied()->older(), true);
    ASSERT_TRUE(copy.consistent());
    EXPECT_EQ(net.points(), points);
    EXPECT_EQ(copy.points().size(), points.size() + 3);
    // The new event lies 0.5 after the earlier one, which moves its action.
    EXPECT_EQ(copy.potential(time_point_key(8, 3)), -0.5);
    EXPECT_EQ(copy.potential(time_point_key(7, 2)), -3.5);
    EXPECT_EQ(net.out_edges(time_point_key(5, 1)), (std::vector<std::pair<std::uint64_t, double>>{{time_point_key(3, 0), 0.0}}));
    EXPECT_EQ(copy.out_edges(time_point_key(5, 1)),
              (std::vector<std::pair<std::uint64_t, double>>{{time_point_key(8, 3), -0.5}, {time_point_key(3, 0), 0.0}}));

    // Past the deadline: the copy fails, the original does not.
    SearchNetwork late = net;
    late.begin_start(1, 4, time_point_key(6, 4), time_point_key(7, 4), 1);
    late.post_duration(-11.0, 11.0, 0.5);
    EXPECT_FALSE(late.consistent());
    EXPECT_TRUE(net.consistent());
}

using test_support::run_on_small_stack;

// A path of a hundred thousand starts, each network a child of the one before: the lists
// of starts and applied events are released one record after another, not recursively.
TEST(SearchNetwork, LongPathsAreReleasedWithoutRecursion) {
    auto net = std::make_unique<SearchNetwork>(1e-5);
    constexpr std::uint32_t kSteps = 100000;
    std::unique_ptr<SearchNetwork> midway;
    for (std::uint32_t i = 0; i < kSteps; ++i) {
        const std::uint32_t c = 2 * i;
        net->begin_start(i % 7, c, time_point_key(3, c), time_point_key(4, c), 1);
        net->post_duration(-1.0, 1.0, 0.01);
        net->post_event_timing(0, time_point_key(5, c + 1), true, 0.0);
        net->begin_apply(time_point_key(5, c + 1), c + 1, 0, i % 7, 0, 0.01, 0);
        // The newest earlier events only, to keep the test fast.
        int posted = 0;
        for (auto* e = net->newest_applied()->older(); e && posted < 3; e = e->older(), ++posted)
            net->post_after(*e, false);
        ASSERT_TRUE(net->consistent());
        if (i == kSteps / 2) midway = std::make_unique<SearchNetwork>(*net);
    }
    EXPECT_EQ(net->num_points(), 2u + 3u * kSteps);
    EXPECT_EQ(midway->num_points(), 2u + 3u * (kSteps / 2 + 1));
    run_on_small_stack([&] { net.reset(); });  // the half it shares with `midway` stays
    EXPECT_EQ(midway->potential(time_point_key(5, 1)), 0.0);
    run_on_small_stack([&] { midway.reset(); });
    EXPECT_EQ(midway, nullptr);
}

}  // namespace
}  // namespace quorvane
