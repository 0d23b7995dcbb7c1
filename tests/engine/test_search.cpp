#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <chrono>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/search/searches.hpp"
#include "seen_set_oracle.hpp"

namespace quorvane {
namespace {

using search::SearchResult;

// --- a small graph as a search space ------------------------------------------------------
//
// A state is one fluent holding the node number. Action i follows edge i when the state
// stands at its source. A node may carry "running actions" (entries of `todo`) to test
// the tie-breaks, and a goal node is a goal only without running actions, as in the
// real search space.

struct Edge {
    int from;
    int to;
    int running = 0;  // running actions of the target state
};

int node_of(const State& s) { return static_cast<int>(*s.values[0].as_int().to_int32()); }

StatePtr make_state(int node, int running = 0, double g = 0.0) {
    StateBox s = State::make(FlatExpr{ExpressionNode::integer(Integer(node))});
    for (int r = 0; r < running; ++r) s->todo[Action{1000u + static_cast<std::uint64_t>(r)}] = RunningEntry{1, 0};
    s->g = g;
    return StatePtr(std::move(s));
}

// The clock of the searches while a test holds one: it stands still except when the
// test space or heuristic moves it on, as if their calls took that long, so that a time-out
// depends only on the calls made, never on how fast the machine runs them.
class TestClock {
  public:
    TestClock() {
        now_ = search::TimeLimit::Clock::time_point(std::chrono::hours(24));
        search::TimeLimit::set_time_source_for_testing(&read);
    }
    ~TestClock() { search::TimeLimit::set_time_source_for_testing(nullptr); }
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;

    // Without a TestClock the calls take no time at all: the wall clock runs on alone.
    static void pass(int ms) { now_ += std::chrono::milliseconds(ms); }

  private:
    static search::TimeLimit::Clock::time_point read() { return now_; }
    static inline search::TimeLimit::Clock::time_point now_{};
};

struct GraphSpace {
    int initial = 0;
    std::vector<int> goals;
    std::vector<Edge> edges;
    std::vector<Action> actions;  // relevant actions: every edge, in order
    bool temporal = false;
    std::optional<std::size_t> failing_action;  // get_successor_state throws for it
    int takes_ms = 0;                            // per call of get_successor_state, on the TestClock
    mutable int successor_calls = 0;
    mutable int goal_tests = 0;

    GraphSpace(int init, std::vector<int> goal_nodes, std::vector<Edge> es)
        : initial(init), goals(std::move(goal_nodes)), edges(std::move(es)) {
        for (std::size_t i = 0; i < edges.size(); ++i) actions.push_back(Action{i});
    }

    StatePtr initial_state(const FlatExpr*) const { return make_state(initial); }
    StatePtr get_successor_state(const State& parent, Action a) const {
        ++successor_calls;
        TestClock::pass(takes_ms);
        if (failing_action && a.idx == *failing_action) raise(ErrorKind::Exception, "successor failed");
        const Edge& e = edges.at(a.idx);
        if (node_of(parent) != e.from) return nullptr;
        auto child = parent.clone_for_child();
        child.set_value(0, ExpressionNode::integer(Integer(e.to)));
        child->todo.clear();
        for (int r = 0; r < e.running; ++r) child->todo[Action{1000u + static_cast<std::uint64_t>(r)}] = RunningEntry{1, 0};
        child->g += 1;
        child->path = child->path.append(PathEntry{a, 0, 0});
        return StatePtr(std::move(child));
    }
    bool goal_reached(const State& s, const FlatExpr*) const {
        ++goal_tests;
        if (!s.todo.empty()) return false;
        return std::find(goals.begin(), goals.end(), node_of(s)) != goals.end();
    }
    Successors<GraphSpace> get_successor_states_iter(StatePtr s) const { return {*this, std::move(s)}; }
    const std::vector<Action>& relevant_actions() const { return actions; }
    bool is_temporal() const { return temporal; }
};
static_assert(SearchSpaceTrait<GraphSpace>);

// Heuristic values by node; a missing node takes `fallback` (none: a dead end). Copies
// share the record of evaluated nodes.
struct TableHeuristic {
    std::map<int, std::optional<double>> values;
    std::optional<double> fallback;
    std::optional<int> failing_node;
    int takes_ms = 0;  // per evaluation of any node but 0, on the TestClock
    std::shared_ptr<std::vector<int>> log = std::make_shared<std::vector<int>>();

    TableHeuristic(std::map<int, std::optional<double>> v = {}, std::optional<double> fb = std::nullopt,
                   std::optional<int> fail = std::nullopt, int takes = 0)
        : values(std::move(v)), fallback(fb), failing_node(fail), takes_ms(takes) {}

    std::optional<double> eval(const State& s, const GraphSpace&) const {
        int n = node_of(s);
        log->push_back(n);
        if (n != 0) TestClock::pass(takes_ms);
        if (failing_node && n == *failing_node) raise(ErrorKind::ValueError, "eval failed");
        auto it = values.find(n);
        if (it == values.end()) return fallback;
        return it->second;
    }
    const std::vector<int>& evaluated() const { return *log; }
};
static_assert(HeuristicTrait<TableHeuristic, GraphSpace>);

std::vector<std::uint64_t> plan_indices(const SearchResult& r) {
    std::vector<std::uint64_t> out;
    for (Action a : *r.plan) out.push_back(a.idx);
    return out;
}

std::string stat(const SearchResult& r, const std::string& key) {
    auto it = r.statistics.find(key);
    return it == r.statistics.end() ? "<absent>" : it->second;
}

// --- time-out arithmetic -----------------------------------------------------------------

TEST(TimeOut, ElapsedTimeIsMeasuredInSinglePrecision) {
    struct Case {
        std::uint64_t seconds;
        std::uint32_t nanos;
        float limit;
        bool exceeded;
    } cases[] = {
        // 500000001 ns is 0.5 in single precision: exactly at the limit, not past it.
        {3, 500'000'001, 3.5f, false},
        {3, 500'000'064, 3.5f, false},
        {3, 500'000'400, 3.5f, true},
        // 2^24 + 1 seconds round to 2^24.
        {16'777'217, 500'000'000, 16'777'216.0f, false},
        {0, 0, 0.0f, false},
        {0, 1, 0.0f, true},
        {1'000'000, 0, std::nanf(""), false},
    };
    for (const Case& c : cases) {
        float elapsed = search::elapsed_seconds_f32(c.seconds, c.nanos);
        EXPECT_EQ(search::exceeds(elapsed, c.limit), c.exceeded) << c.seconds << "s " << c.nanos << "ns";
    }
}

TEST(TimeOut, CheckRaisesTimeoutErrorOnlyPastTheLimit) {
    using Clock = search::TimeLimit::Clock;
    Clock::time_point start = Clock::now();
    search::TimeLimit limit(1.0f, start);
    EXPECT_NO_THROW(limit.check_at(start + std::chrono::milliseconds(1000)));
    try {
        limit.check_at(start + std::chrono::milliseconds(1001));
        FAIL() << "no time-out";
    } catch (const Error& e) {
        EXPECT_EQ(e.kind(), ErrorKind::TimeoutError);
        EXPECT_STREQ(e.what(), "Timeout");
    }
    // Without a limit nothing is measured, even a clock that went backwards.
    EXPECT_NO_THROW(search::TimeLimit(std::nullopt, start).check_at(start - std::chrono::seconds(5)));
    EXPECT_THROW(limit.check_at(start - std::chrono::seconds(1)), InternalError);
}

// --- open-list order ----------------------------------------------------------------------

// An entry: priority, generation counter, state id, running actions.
search::CountedEntry entry(double priority, std::uint64_t counter, std::uint32_t running = 0) {
    return search::CountedEntry{priority, counter, 0, running};
}

TEST(OpenListOrder, PriorityThenRunningActionsThenGenerationOrder) {
    const double nan = std::nan("");
    struct Case {
        search::CountedEntry a, b;
        bool a_better;
    } cases[] = {
        {entry(1.0, 9, 2), entry(2.0, 0), true},
        {entry(2.0, 0), entry(1.0, 9, 2), false},
        {entry(1.0, 9), entry(1.0, 0, 2), true},
        {entry(1.0, 0, 2), entry(1.0, 1, 2), true},
        {entry(1.0, 1, 2), entry(1.0, 0, 2), false},
        // NaN leaves the first rule undecided.
        {entry(nan, 5), entry(-1.0, 0, 2), true},
        {entry(nan, 0, 2), entry(7.0, 3, 2), true},
        {entry(nan, 3, 2), entry(nan, 0, 2), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(search::better(c.a, c.b), c.a_better) << c.a.priority << " vs " << c.b.priority;
        EXPECT_FALSE(search::better(c.a, c.a));
    }
}

using Bounded = search::BoundedPriorityQueue<search::CountedEntry, search::Worse>;

std::vector<std::uint64_t> drain(Bounded& q) {
    std::vector<std::uint64_t> out;
    while (auto e = q.pop()) out.push_back(e->counter);
    return out;
}

TEST(BoundedQueue, FullQueueKeepsItsBestEntriesAndHandsBackTheOneDropped) {
    struct Case {
        const char* what;
        search::CountedEntry extra;
        std::vector<std::uint64_t> taken;  // counters, best first
        std::uint64_t dropped;
    } cases[] = {
        {"better than the worst replaces it", entry(1.5, 10), {0, 10, 1}, 2},
        {"worse than all is dropped", entry(9.0, 10), {0, 1, 2}, 10},
        // Equal to the worst (priority 3, one running action, counter 2).
        {"equal priority, fewer running actions wins", entry(3.0, 10), {0, 1, 10}, 2},
        {"equal in all but the later counter loses", entry(3.0, 10, 1), {0, 1, 2}, 10},
    };
    for (const Case& c : cases) {
        Bounded q(3);
        EXPECT_FALSE(q.push(entry(1.0, 0)).has_value());
        EXPECT_FALSE(q.push(entry(2.0, 1)).has_value());
        EXPECT_FALSE(q.push(entry(3.0, 2, 1)).has_value());
        std::optional<search::CountedEntry> dropped = q.push(c.extra);
        ASSERT_TRUE(dropped.has_value()) << c.what;
        EXPECT_EQ(dropped->counter, c.dropped) << c.what;
        EXPECT_EQ(q.size(), 3u) << c.what;
        EXPECT_EQ(drain(q), c.taken) << c.what;
        EXPECT_FALSE(q.pop().has_value());
    }
}

TEST(BoundedQueue, SearchCapacityKeepsThe400000Best) {
    const std::size_t extra = 1000;
    std::vector<double> priorities(search::kBoundedQueueCapacity + extra);
    for (std::size_t i = 0; i < priorities.size(); ++i) priorities[i] = static_cast<double>(i);
    std::mt19937_64 rng(7);
    std::shuffle(priorities.begin(), priorities.end(), rng);

    Bounded q(search::kBoundedQueueCapacity);
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < priorities.size(); ++i) dropped += q.push(entry(priorities[i], i)).has_value();
    ASSERT_EQ(q.size(), search::kBoundedQueueCapacity);
    EXPECT_EQ(dropped, extra);
    double expected = 0.0;
    while (auto e = q.pop()) {
        ASSERT_EQ(e->priority, expected);
        expected += 1.0;
    }
    EXPECT_EQ(expected, static_cast<double>(search::kBoundedQueueCapacity));
}

TEST(BoundedQueue, NeedsRoomForOneEntry) { EXPECT_THROW(Bounded(0), InternalError); }

// --- duplicate detection -----------------------------------------------------------------

StatePtr temporal_state(int node, std::vector<std::pair<std::uint64_t, RunningEntry>> todo) {
    StateBox s = State::make(FlatExpr{ExpressionNode::integer(Integer(node))});
    s->temporal_network.emplace(0.0);
    for (auto& [a, e] : todo) s->todo[Action{a}] = e;
    return StatePtr(std::move(s));
}

StatePtr with_condition(StatePtr s) {
    auto copy = s->clone_for_child();
    copy->active_conditions[FlatExpr{ExpressionNode::boolean(true)}] = 1;
    return StatePtr(std::move(copy));
}

TEST(SeenSets, WeakEqualityIgnoresInstanceNumbersOnly) {
    StatePtr a = temporal_state(1, {{0, {1, 5}}, {1, {2, 7}}});
    struct Case {
        const char* what;
        StatePtr other;
        bool equal;
    } cases[] = {
        {"other instance numbers", temporal_state(1, {{1, {2, 99}}, {0, {1, 42}}}), true},
        {"another next event", temporal_state(1, {{0, {2, 5}}, {1, {2, 7}}}), false},
        {"another running action", temporal_state(1, {{0, {1, 5}}, {2, {2, 7}}}), false},
        {"fewer running actions", temporal_state(1, {{0, {1, 5}}}), false},
        {"other active conditions", with_condition(temporal_state(1, {{0, {1, 5}}, {1, {2, 7}}})), true},
        {"other values", temporal_state(2, {{0, {1, 5}}, {1, {2, 7}}}), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(search::WeakEqState(a) == search::WeakEqState(c.other), c.equal) << c.what;
        EXPECT_EQ(search::WeakEqState(c.other) == search::WeakEqState(a), c.equal) << c.what;
        search::SeenSet seen(search::SeenPolicy::WeakStates);
        EXPECT_TRUE(seen.insert(a));
        EXPECT_EQ(seen.insert(c.other), !c.equal) << c.what;
    }
    // Temporal states are never equal under State equality, not even to themselves.
    search::SeenSet strict(search::SeenPolicy::States);
    EXPECT_TRUE(strict.insert(a));
    EXPECT_FALSE(strict.insert(a));  // the same object
    EXPECT_TRUE(strict.insert(temporal_state(1, {{0, {1, 5}}, {1, {2, 7}}})));
    search::SeenSet none(search::SeenPolicy::None);
    EXPECT_TRUE(none.insert(a));
    EXPECT_TRUE(none.insert(a));
    EXPECT_FALSE(none.contains(a));
}

// --- searches on small graphs ------------------------------------------------------------

// 0 -> 1 -> 3 (goal) and 0 -> 2 -> 3; the edge 2 -> 0 closes a cycle.
GraphSpace diamond() { return GraphSpace(0, {3}, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {2, 0}}); }

TEST(BasicSearch, BreadthAndDepthFirstOrder) {
    GraphSpace bfs_space = diamond();
    SearchResult bfs = search::basic_search(bfs_space, true, std::nullopt, false);
    EXPECT_EQ(plan_indices(bfs), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(stat(bfs, "goal_depth"), "2");
    EXPECT_EQ(stat(bfs, "expanded_states"), "4");  // 0; 1, 2; 3

    // Depth-first takes the successor of the last applicable action first (2, not 1).
    GraphSpace dfs_space = diamond();
    SearchResult dfs = search::basic_search(dfs_space, false, std::nullopt, true);
    EXPECT_EQ(plan_indices(dfs), (std::vector<std::uint64_t>{1, 3}));
    EXPECT_EQ(stat(dfs, "expanded_states"), "2");
    // Without early termination it follows 0 -> 2 -> 0 ... with the goal buried below:
    // only the time-out ends it.
    EXPECT_THROW(search::basic_search(dfs_space, false, 0.05f, false), Error);
}

TEST(BasicSearch, EarlyEndsAndEmptyActions) {
    GraphSpace at_goal(3, {3}, {{3, 4}});
    SearchResult et = search::basic_search(at_goal, true, 0.0f, true);
    EXPECT_EQ(plan_indices(et), std::vector<std::uint64_t>{});
    EXPECT_EQ(stat(et, "expanded_states"), "0");
    EXPECT_EQ(stat(et, "goal_depth"), "0");
    // Without early termination the goal is found by expanding it; a time-out of 0
    // fires at the first iteration, a NaN one never.
    SearchResult late = search::basic_search(at_goal, true, std::nullopt, false);
    EXPECT_EQ(stat(late, "expanded_states"), "1");
    EXPECT_THROW(search::basic_search(at_goal, true, 0.0f, false), Error);
    EXPECT_NO_THROW(search::basic_search(at_goal, true, std::nanf(""), false));

    GraphSpace no_actions(0, {3}, {});
    SearchResult none = search::basic_search(no_actions, false, std::nullopt, false);
    EXPECT_FALSE(none.plan.has_value());
    EXPECT_EQ(none.statistics, (search::Statistics{{"expanded_states", "1"}}));
}

TEST(WAStar, DuplicatesAreDroppedBeforeEvaluation) {
    // 1 and 2 both lead to 3, which is expanded after both; 3 leads to the goal 4.
    GraphSpace space(0, {4}, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {3, 4}});
    TableHeuristic h{{{0, 3.0}, {1, 2.0}, {2, 2.0}, {3, 2.5}, {4, 0.0}}};
    SearchResult r = search::wastar_search(space, h, 1.0, std::nullopt, false, false);
    EXPECT_EQ(plan_indices(r), (std::vector<std::uint64_t>{0, 2, 4}));
    EXPECT_EQ(stat(r, "goal_depth"), "3");
    EXPECT_EQ(stat(r, "expanded_states"), "5");
    EXPECT_EQ(h.evaluated(), (std::vector<int>{0, 1, 2, 3, 4}));

    // A temporal task without weak equality keeps every copy.
    space.temporal = true;
    TableHeuristic h2{h.values};
    SearchResult t = search::wastar_search(space, h2, 1.0, std::nullopt, false, false);
    EXPECT_EQ(h2.evaluated(), (std::vector<int>{0, 1, 2, 3, 3, 4}));
    EXPECT_EQ(stat(t, "expanded_states"), "5");
}

TEST(WAStar, TieBreaksAndWeights) {
    struct Case {
        const char* what;
        std::vector<Edge> edges;
        double weight;
        std::vector<std::uint64_t> plan;
    } cases[] = {
        {"equal priorities: generation order", {{0, 1}, {0, 2}, {1, 9}, {2, 9}}, 1.0, {0, 2}},
        {"equal priorities: fewer running actions", {{0, 1, 1}, {0, 2}, {1, 9}, {2, 9}}, 1.0, {1, 3}},
        {"NaN weight: running actions, then generation order", {{0, 1, 1}, {0, 2}, {1, 9}, {2, 9}}, std::nan(""),
         {1, 3}},
        // Equal h everywhere: weight 1 ties and goes by generation order, reaching 9 by
        // the short way; weight 2 gives g a negative weight and digs deeper first.
        {"weight 1: generation order", {{0, 1}, {0, 4}, {1, 2}, {2, 9}, {4, 9}}, 1.0, {1, 4}},
        {"weight above 1: deeper first", {{0, 1}, {0, 4}, {1, 2}, {2, 9}, {4, 9}}, 2.0, {0, 2, 3}},
    };
    for (const Case& c : cases) {
        GraphSpace space(0, {9}, c.edges);
        TableHeuristic h{{}, 1.0};
        SearchResult r = search::wastar_search(space, h, c.weight, std::nullopt, false, false);
        EXPECT_EQ(plan_indices(r), c.plan) << c.what;
    }

    // Weight 0 orders by g alone; weight 1 by h alone. 0 -> 1 -> 2 -> 9 is cheap in h,
    // 0 -> 3 -> 9 in g.
    GraphSpace space(0, {9}, {{0, 1}, {1, 2}, {2, 9}, {0, 3}, {3, 9}});
    TableHeuristic h{{{0, 5.0}, {1, 1.0}, {2, 1.0}, {3, 4.0}, {9, 0.0}}};
    EXPECT_EQ(plan_indices(search::wastar_search(space, h, 1.0, std::nullopt, false, false)),
              (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(plan_indices(search::wastar_search(space, h, 0.0, std::nullopt, false, false)),
              (std::vector<std::uint64_t>{3, 4}));
}

TEST(WAStar, TheFirstPathToAStateIsKept) {
    // 3 is generated first by 0 -> 1 -> 2 -> 3 (g 3); the cheaper 0 -> 5 -> 3 (g 2) is
    // met later and dropped as a duplicate, so the plan is not the shortest one.
    GraphSpace space(0, {9}, {{0, 1}, {0, 5}, {1, 2}, {2, 3}, {5, 3}, {3, 9}});
    TableHeuristic h{{{0, 5.0}, {1, 1.0}, {2, 1.0}, {3, 2.0}, {5, 3.0}, {9, 0.0}}};
    SearchResult r = search::wastar_search(space, h, 0.5, std::nullopt, false, false);
    EXPECT_EQ(plan_indices(r), (std::vector<std::uint64_t>{0, 2, 3, 5}));
    EXPECT_EQ(stat(r, "goal_depth"), "4");
    EXPECT_EQ(stat(r, "expanded_states"), "6");  // 0, 1, 2, 5, 3, 9
    EXPECT_EQ(h.evaluated(), (std::vector<int>{0, 1, 5, 2, 3, 9}));
}

TEST(WAStar, InitialDeadEndAndEarlyTermination) {
    GraphSpace space(0, {0, 2}, {{0, 1}, {0, 2}, {0, 3}});
    TableHeuristic dead{{}};
    // The initial state is a goal, but the dead end ends the search first, before the
    // loop and its time-out check.
    for (const SearchResult& r : {search::wastar_search(space, dead, 1.0, 0.0f, false, false),
                                  search::wastar_search_memory_bounded(space, dead, 1.0, 0.0f, false, false),
                                  search::ehc_search(space, dead, 0.0f, false, false)}) {
        EXPECT_FALSE(r.plan.has_value());
        EXPECT_EQ(r.statistics, (search::Statistics{{"expanded_states", "0"}}));
    }

    // With early termination a goal successor is returned even when it is a dead end,
    // before the successors of later actions are generated.
    space.goals = {2};
    space.successor_calls = 0;
    TableHeuristic h{{{0, 1.0}}};
    SearchResult et = search::wastar_search(space, h, 1.0, std::nullopt, true, false);
    EXPECT_EQ(plan_indices(et), std::vector<std::uint64_t>{1});
    EXPECT_EQ(stat(et, "expanded_states"), "1");
    EXPECT_EQ(space.successor_calls, 2);
}

TEST(Searches, ExhaustedAfterTheLimitGivesNoPlan) {
    // The one successor takes longer to evaluate than the limit and is a dead end: the
    // open list is empty at the next iteration, which ends before the time-out check.
    TestClock clock;
    GraphSpace space(0, {9}, {{0, 1}});
    TableHeuristic slow{{{0, 1.0}}, std::nullopt, std::nullopt, 150};
    for (const SearchResult& r : {search::wastar_search(space, slow, 1.0, 0.1f, false, false),
                                  search::wastar_search_memory_bounded(space, slow, 1.0, 0.1f, false, false),
                                  search::ehc_search(space, slow, 0.1f, false, false)}) {
        EXPECT_FALSE(r.plan.has_value());
        EXPECT_EQ(stat(r, "expanded_states"), "1");
    }
    // The multi-queue search checks the time first.
    EXPECT_THROW(search::_multiqueue_search(space, std::vector<std::pair<TableHeuristic, double>>{{slow, 1.0}},
                                                search::RoundRobinSwitchPolicy{1}, 0.1f, false, false),
                 Error);
}

TEST(Searches, ErrorsEndTheSearch) {
    GraphSpace space(0, {9}, {{0, 1}, {0, 2}, {1, 9}});
    TableHeuristic h{{}, 1.0, 2};
    EXPECT_THROW(search::wastar_search(space, h, 1.0, std::nullopt, false, false), Error);
    EXPECT_THROW(search::wastar_search_memory_bounded(space, h, 1.0, std::nullopt, false, false), Error);
    EXPECT_THROW(search::ehc_search(space, h, std::nullopt, false, false), Error);
    space.failing_action = 1;
    TableHeuristic fine{{}, 1.0};
    EXPECT_THROW(search::basic_search(space, true, std::nullopt, false), Error);
    EXPECT_THROW(search::ehc_search(space, fine, std::nullopt, false, false), Error);
}

TEST(MemoryBounded, SmallQueueDropsForGood) {
    // From 0: 1 (h 5), 2 (h 1), 3 (h 2); the goal lies behind 1.
    GraphSpace space(0, {9}, {{0, 1}, {0, 2}, {0, 3}, {1, 9}, {2, 0}, {3, 1}});
    TableHeuristic h{{{0, 3.0}, {1, 5.0}, {2, 1.0}, {3, 2.0}, {9, 0.0}}};
    SearchResult big = search::wastar_search_memory_bounded(space, h, 1.0, std::nullopt, false, false);
    EXPECT_EQ(plan_indices(big), (std::vector<std::uint64_t>{0, 3}));
    // Same order as the unbounded search on a task this small.
    SearchResult unbounded = search::wastar_search(space, h, 1.0, std::nullopt, false, false);
    EXPECT_EQ(big.statistics, unbounded.statistics);
    // With room for one entry only 2 survives; 1 and 3 are gone for good (their keys
    // stay in the filter), and 2 leads back to 0 only.
    SearchResult small = search::wastar_search_memory_bounded(space, h, 1.0, std::nullopt, false, false, 1);
    EXPECT_FALSE(small.plan.has_value());
    EXPECT_EQ(stat(small, "expanded_states"), "2");
}

TEST(MemoryBounded, FilterKeysFollowWeakEquality) {
    // Node 1 is reached with and without a running action; 0 -> 0 adds a running action.
    // Weak equality tells states with other running actions apart, and so does the filter.
    struct Case {
        const char* what;
        std::vector<Edge> edges;
        bool weak_equality;
        bool bounded;
        std::vector<int> evaluated;
    } cases[] = {
        {"wastar tells the copies apart", {{0, 1, 1}, {0, 1}, {0, 0, 1}}, true, false, {0, 1, 1, 0}},
        {"so does the filter", {{0, 1, 1}, {0, 1}, {0, 0, 1}}, true, true, {0, 1, 1, 0}},
        {"no filter without weak equality", {{0, 1, 1}, {0, 1}}, false, true, {0, 1, 1}},
    };
    for (const Case& c : cases) {
        GraphSpace space(0, {}, c.edges);
        space.temporal = true;
        TableHeuristic h{{}, 1.0};
        SearchResult r = c.bounded ? search::wastar_search_memory_bounded(space, h, 1.0, std::nullopt, false,
                                                                          c.weak_equality)
                                   : search::wastar_search(space, h, 1.0, std::nullopt, false, c.weak_equality);
        EXPECT_FALSE(r.plan.has_value()) << c.what;
        EXPECT_EQ(h.evaluated(), c.evaluated) << c.what;
        EXPECT_EQ(stat(r, "expanded_states"), std::to_string(c.evaluated.size())) << c.what;
    }
}

TEST(MemoryBounded, FilterKeysCoverWhatTheDuplicateRuleCompares) {
    const search::SeededStateHasher key(42, false), temporal_key(42, true);
    auto state = [](std::uint64_t next, std::uint32_t instance, bool condition) {
        StateBox s = State::make(FlatExpr{ExpressionNode::integer(Integer(1))});
        s->todo[Action{3}] = RunningEntry{next, instance};
        if (condition) s->active_conditions[FlatExpr{ExpressionNode::boolean(true)}] = 1;
        return s;
    };
    auto base = state(1, 5, false);
    // State equality (a task that is not temporal) compares the running actions' next
    // events and the open conditions; weak equality (a temporal one) the next events.
    struct Case {
        const char* what;
        StateBox other;
        bool same_key;
        bool same_temporal_key;
    } cases[] = {
        {"another instance number", state(1, 9, false), true, true},
        {"another next event", state(2, 5, false), false, false},
        {"an open condition", state(1, 5, true), false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(key(*base) == key(*c.other), c.same_key) << c.what;
        EXPECT_EQ(temporal_key(*base) == temporal_key(*c.other), c.same_temporal_key) << c.what;
    }
    // With nothing running the key is the values alone.
    auto idle = make_state(1);
    EXPECT_EQ(key(*idle), key(*make_state(1, 0, 7.0)));
    EXPECT_NE(key(*idle), key(*make_state(2)));
    EXPECT_NE(temporal_key(*base), temporal_key(*idle));
    EXPECT_NE(search::SeededStateHasher(43, false)(*idle), key(*idle));
}

TEST(EHC, ImprovementCommitsAndForgets) {
    // 0 (h 5) -> 1 (h 4) improves at once: 2 is never generated.
    GraphSpace space(0, {3}, {{0, 1}, {0, 2}, {1, 3}});
    TableHeuristic h{{{0, 5.0}, {1, 4.0}, {2, 1.0}, {3, 0.0}}};
    SearchResult r = search::ehc_search(space, h, std::nullopt, false, false);
    EXPECT_EQ(plan_indices(r), (std::vector<std::uint64_t>{0, 2}));
    EXPECT_EQ(h.evaluated(), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(stat(r, "expanded_states"), "3");

    // A committed improvement is never undone: 1 is a dead end of the graph, and the
    // plan through 2 is lost.
    GraphSpace trap(0, {9}, {{0, 1}, {0, 2}, {2, 9}});
    TableHeuristic t{{{0, 5.0}, {1, 4.0}, {2, 5.0}, {9, 0.0}}};
    SearchResult lost = search::ehc_search(trap, t, std::nullopt, false, false);
    EXPECT_FALSE(lost.plan.has_value());
    EXPECT_EQ(stat(lost, "expanded_states"), "2");
}

TEST(EHC, PlateauIsBreadthFirstWithSeenStatesOfThePhase) {
    // Equal values everywhere: 3 is generated from 1 and 2 before it is expanded, so it
    // is expanded twice; the way back to 0 is dropped (0 was expanded in this phase).
    GraphSpace space(0, {}, {{0, 1}, {0, 2}, {1, 3}, {2, 3}, {3, 0}});
    TableHeuristic flat{{}, 1.0};
    SearchResult r = search::ehc_search(space, flat, std::nullopt, false, false);
    EXPECT_FALSE(r.plan.has_value());
    EXPECT_EQ(stat(r, "expanded_states"), "5");
    EXPECT_EQ(flat.evaluated(), (std::vector<int>{0, 1, 2, 3, 3}));

    // A NaN initial value never improves.
    GraphSpace to_goal(0, {9}, {{0, 1}, {1, 9}});
    TableHeuristic nan_start{{{0, std::nan("")}}, -100.0};
    SearchResult n = search::ehc_search(to_goal, nan_start, std::nullopt, false, false);
    EXPECT_EQ(plan_indices(n), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(stat(n, "expanded_states"), "3");
}

TEST(EHC, AnImprovementForgetsTheStatesOfThePhase) {
    // Phase 1 expands 0 and 1 and improves at 2; phase 2 meets 0 and 1 again and
    // expands them again; 2, expanded in phase 2, is then dropped.
    GraphSpace space(0, {}, {{0, 1}, {1, 2}, {2, 0}});
    TableHeuristic h{{{0, 5.0}, {1, 5.0}, {2, 4.0}}};
    SearchResult r = search::ehc_search(space, h, std::nullopt, false, false);
    EXPECT_FALSE(r.plan.has_value());
    EXPECT_EQ(stat(r, "expanded_states"), "5");
    EXPECT_EQ(h.evaluated(), (std::vector<int>{0, 1, 2, 0, 1}));
}

TEST(EHC, DuplicatePolicyOfTemporalTasks) {
    // A flat cycle: with a seen set the phase runs dry; without one it never ends.
    GraphSpace space(0, {}, {{0, 1}, {1, 0}});
    space.temporal = true;
    TableHeuristic flat{{}, 1.0};
    SearchResult r = search::ehc_search(space, flat, std::nullopt, false, true);
    EXPECT_EQ(stat(r, "expanded_states"), "2");
    EXPECT_THROW(search::ehc_search(space, flat, 0.05f, false, false), Error);
}

TEST(BasicSearch, EarlyGoalSuccessorStopsTheActions) {
    for (bool breadth_first : {true, false}) {
        GraphSpace space(0, {1}, {{0, 1}, {0, 2}, {0, 3}});
        SearchResult r = search::basic_search(space, breadth_first, std::nullopt, true);
        EXPECT_EQ(plan_indices(r), std::vector<std::uint64_t>{0});
        EXPECT_EQ(stat(r, "expanded_states"), "1");
        EXPECT_EQ(space.successor_calls, 1);
    }
}

TEST(BasicSearch, ExhaustedAfterTheLimitGivesNoPlan) {
    // The one action is tried (slowly) and is not applicable: the queue is empty when
    // the limit has passed, and the emptiness ends the loop before any check.
    TestClock clock;
    GraphSpace space(0, {9}, {{5, 6}});
    space.takes_ms = 150;
    SearchResult r = search::basic_search(space, true, 0.1f, false);
    EXPECT_FALSE(r.plan.has_value());
    EXPECT_EQ(stat(r, "expanded_states"), "1");
}

// --- multi-queue --------------------------------------------------------------------------

using Pairs = std::vector<std::pair<TableHeuristic, double>>;

TEST(MultiQueue, QueuesTakeTurnsAndSkipStaleEntries) {
    // From 0: 1 and 2. Queue 0 prefers 1, queue 1 prefers 2; both lead to the goal 9.
    GraphSpace space(0, {9}, {{0, 1}, {0, 2}, {1, 9}, {2, 9}});
    TableHeuristic a{{{1, 1.0}, {2, 2.0}, {9, 0.0}}};
    TableHeuristic b{{{1, 2.0}, {2, 1.0}, {9, 0.0}}};
    SearchResult r = search::_multiqueue_search(space, Pairs{{a, 1.0}, {b, 1.0}},
                                                    search::RoundRobinSwitchPolicy{2}, std::nullopt, false, false);
    // 0 from queue 0; queue 1's root entry is stale and dropped without counting, so
    // queue 1 is asked again and yields 2; then queue 0 yields the goal 9 found via 2.
    EXPECT_EQ(plan_indices(r), (std::vector<std::uint64_t>{1, 3}));
    EXPECT_EQ(stat(r, "expanded_states"), "3");
    // Each new state is evaluated once per pair.
    EXPECT_EQ(a.evaluated(), (std::vector<int>{1, 2, 9}));
    EXPECT_EQ(b.evaluated(), (std::vector<int>{1, 2, 9}));
}

TEST(MultiQueue, EndsWhenTheQueueUsedLastIsEmpty) {
    GraphSpace space(0, {9}, {{0, 1}, {1, 9}});
    TableHeuristic alive{{{1, 1.0}, {9, 0.0}}};
    TableHeuristic dead{{}};
    struct Case {
        const char* what;
        Pairs pairs;
    } cases[] = {
        {"queue 1 holds only the stale root", {{alive, 1.0}, {dead, 1.0}}},
        {"queue 0 is empty after the first expansion", {{dead, 1.0}, {alive, 1.0}}},
    };
    for (Case& c : cases) {
        SearchResult r = search::_multiqueue_search(space, c.pairs, search::RoundRobinSwitchPolicy{2},
                                                        std::nullopt, false, false);
        EXPECT_FALSE(r.plan.has_value()) << c.what;
        EXPECT_EQ(stat(r, "expanded_states"), "1") << c.what;
    }
}

TEST(MultiQueue, EmptyPairListIsABrokenInvariantAfterTheStart) {
    GraphSpace at_goal(0, {0}, {});
    // The early end at the initial state comes before the check.
    SearchResult r = search::_multiqueue_search(at_goal, Pairs{}, search::RoundRobinSwitchPolicy{0},
                                                    std::nullopt, true, false);
    EXPECT_EQ(stat(r, "expanded_states"), "0");
    EXPECT_THROW(search::_multiqueue_search(at_goal, Pairs{}, search::RoundRobinSwitchPolicy{0},
                                                std::nullopt, false, false),
                 InternalError);
}

TEST(MultiQueue, DuplicatesCountAsGeneratedButAreNotEvaluated) {
    GraphSpace space(0, {9}, {{0, 1}, {0, 1}, {1, 9}});
    TableHeuristic h{{{1, 1.0}, {9, 0.0}}};
    SearchResult r = search::_multiqueue_search(space, Pairs{{h, 1.0}}, search::RoundRobinSwitchPolicy{1},
                                                    std::nullopt, true, false);
    EXPECT_EQ(plan_indices(r), (std::vector<std::uint64_t>{0, 2}));
    // The goal successor is returned before any heuristic sees it.
    EXPECT_EQ(h.evaluated(), (std::vector<int>{1}));
}

}  // namespace
}  // namespace quorvane
