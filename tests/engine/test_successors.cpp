#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <optional>
#include <tuple>
#include <string>
#include <vector>

#include "engine/search/frame.hpp"
#include "engine/space/search_space.hpp"
#include "engine/state/cell.hpp"
#include "engine/support/errors.hpp"
#include "engine/support/number.hpp"
#include "engine/temporal/search_network.hpp"
#include "engine/temporal/time_points.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {

using namespace test_tasks;

// --- lazy successors ------------------------------------------------------------------------

// A temporal task of three instant actions, each with one event at its start; action 1's
// condition is not boolean. Action 3 only makes the task temporal.
SearchSpace lazy_task() {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}, Action{2}, Action{3}};
    DurationBounds one{{ExpressionNode::integer(Integer(1))}, {ExpressionNode::integer(Integer(1))}, false, false};
    in.actions_duration = {std::nullopt, std::nullopt, std::nullopt, one};
    for (std::uint64_t a = 0; a < 3; ++a) {
        Event e = make_event(Action{a}, 0, {.writes = {a}});
        if (a == 1) e.conditions = {ExpressionNode::integer(Integer(1))};
        std::vector<TimedEvent> list;
        list.emplace_back(Timing{true, Rational(0)}, std::move(e));
        in.events.emplace_back(Action{a}, std::move(list));
    }
    in.initial_state = FlatExpr(3, ExpressionNode::integer(Integer(0)));
    in.relevant_actions = std::vector<Action>{Action{0}, Action{1}, Action{2}};
    return SearchSpace(std::move(in));
}

TEST(SuccessorSequence, ComputesOnlyWhatIsAskedForAndGoesOnAfterAnError) {
    SearchSpace space = lazy_task();
    ASSERT_TRUE(space.is_temporal());
    StatePtr root = space.initial_state();
    auto seq = space.get_successor_states_iter(root);
    // Every start of a temporal task takes numbers, so the counter shows what was computed.
    EXPECT_EQ(space.instance_counter(), 0u);
    StatePtr first = seq.next();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->path.front().action, Action{0});
    EXPECT_EQ(space.instance_counter(), 2u);
    try {
        seq.next();
        ADD_FAILURE() << "a non-boolean condition must fail";
    } catch (const Error& e) {
        EXPECT_STREQ(e.what(), "An action condition is not a boolean expression!");
    }
    EXPECT_FALSE(seq.done());
    StatePtr third = seq.next();
    ASSERT_TRUE(third);
    EXPECT_EQ(third->path.front().action, Action{2});
    EXPECT_EQ(third->path.front().instance, 3u);
    EXPECT_EQ(space.instance_counter(), 4u);
    EXPECT_FALSE(seq.next());
    EXPECT_TRUE(seq.done());
    // The parent is only read.
    EXPECT_TRUE(root->path.empty());
    EXPECT_EQ(root->g, 0.0);
}

// --- the constraints of a step ---------------------------------------------------------------

// Action 0: a durative action with bounds (2, 5) open at both ends, event 0 at its start
// writing f0 and event 1 half a time unit after its end writing f1. Action 1: no
// duration, one event at its start reading f1 when `reads_f1`, else f2.
// With `compressed`, the first action's events are applied at once.
SearchSpace two_action_task(bool reads_f1, std::optional<Rational> deadline = std::nullopt, bool compressed = false) {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}};
    in.actions_duration = {DurationBounds{{int_node(2)}, {int_node(5)}, true, true}, std::nullopt};
    std::vector<TimedEvent> a0;
    a0.emplace_back(Timing{true, Rational(0)}, make_event(Action{0}, 0, {.writes = {0}}));
    a0.emplace_back(Timing{false, mk_rational(1, 2)}, make_event(Action{0}, 1, {.writes = {1}}));
    std::vector<TimedEvent> a1;
    a1.emplace_back(Timing{true, Rational(0)}, make_event(Action{1}, 0, {.reads = {reads_f1 ? 1u : 2u}}));
    in.events = {{Action{0}, std::move(a0)}, {Action{1}, std::move(a1)}};
    in.initial_state = FlatExpr(3, ExpressionNode::boolean(true));
    in.deadline = std::move(deadline);
    if (compressed) in.compression_safe_actions = std::vector<bool>{true, false};
    return SearchSpace(std::move(in));
}

TEST(SuccessorConstraints, StartPostsBoundsOriginHorizonPinsAndPendingEvents) {
    SearchSpace space = two_action_task(false);
    const TNInterpreter& tn = space.tn_interpreter();
    StatePtr child = space.get_successor_state(*space.initial_state(), Action{0});
    ASSERT_TRUE(child);
    const FloatNetwork& net = *child->temporal_network;
    ASSERT_TRUE(net.consistent());
    const std::uint64_t s = time_point_key(tn.get_action_point(Action{0}, true), 0);
    const std::uint64_t e = time_point_key(tn.get_action_point(Action{0}, false), 0);
    const std::uint64_t x0 = time_point_key(tn.get_event_point(Action{0}, 0), 1);
    const std::uint64_t x1 = time_point_key(tn.get_event_point(Action{0}, 1), 2);
    const double eps = 0.01;
    // Each list holds the edges of its point in the order they were posted, newest first.
    EXPECT_EQ(edges_of(net, s), (Edges{{x0, -0.0}, {e, -2.0 - eps}}));
    EXPECT_EQ(edges_of(net, e), (Edges{{x1, -0.5}, {TNInterpreter::horizon, -eps}, {s, 5.0 - eps}}));
    EXPECT_EQ(edges_of(net, TNInterpreter::origin), (Edges{{s, 0.0}}));
    EXPECT_EQ(edges_of(net, x0), (Edges{{x1, -eps}, {s, 0.0}}));
    EXPECT_EQ(edges_of(net, x1), (Edges{{e, 0.5}}));
    EXPECT_EQ(net.num_points(), 6u);
    EXPECT_EQ(time_of(net, e), 2.0 + eps);
    EXPECT_EQ(time_of(net, x1), 2.0 + eps + 0.5);
    EXPECT_EQ(child->todo.at(Action{0}).instance, 2u);
    EXPECT_EQ(space.instance_counter(), 3u);
}

struct OrderCase {
    bool interfere;
    bool short_first;  // the plan [1, 0, 0] instead of [0, 1, 0]
};

class SuccessorOrder : public ::testing::TestWithParam<OrderCase> {};

// A new event lies after every earlier one (by epsilon when they interfere) and before
// every pending event of a running action (likewise).
TEST_P(SuccessorOrder, NewEventAgainstPathAndPendingEvents) {
    const OrderCase c = GetParam();
    SearchSpace space = two_action_task(c.interfere);
    const TNInterpreter& tn = space.tn_interpreter();
    const std::vector<Action> plan =
        c.short_first ? std::vector<Action>{Action{1}, Action{0}, Action{0}} : std::vector<Action>{Action{0}, Action{1}, Action{0}};
    StatePtr state = space.initial_state();
    for (Action a : plan) {
        state = space.get_successor_state(*state, a);
        ASSERT_TRUE(state);
    }
    const FloatNetwork& net = *state->temporal_network;
    // Numbers: the first start takes 0 (points) and then its events, the second the next ones.
    const std::uint32_t a0 = c.short_first ? 2 : 0, a1 = c.short_first ? 0 : 3;
    const std::uint64_t x0 = time_point_key(tn.get_event_point(Action{0}, 0), a0 + 1);
    const std::uint64_t x1 = time_point_key(tn.get_event_point(Action{0}, 1), a0 + 2);
    const std::uint64_t y = time_point_key(tn.get_event_point(Action{1}, 0), a1 + 1);
    const std::uint64_t s1 = time_point_key(tn.get_action_point(Action{1}, true), a1);
    const std::uint64_t s0 = time_point_key(tn.get_action_point(Action{0}, true), a0);
    const double eps = 0.01, link = c.interfere ? -eps : 0.0;
    if (c.short_first) {
        // Action 1 came first: x0 lies no earlier than y (f0 is not touched by action 1),
        // and the end event is ordered against y only when it is applied.
        EXPECT_EQ(edges_of(net, y), (Edges{{x1, link}, {x0, 0.0}, {s1, 0.0}}));
    } else {
        // y was placed after x0 and before the pending x1; applying x1 later repeats
        // constraints already stored, which adds no node.
        EXPECT_EQ(edges_of(net, y), (Edges{{x1, link}, {s1, 0.0}}));
        EXPECT_EQ(edges_of(net, x0), (Edges{{y, 0.0}, {x1, -eps}, {s0, 0.0}}));
    }
    EXPECT_TRUE(net.consistent());
    EXPECT_TRUE(state->todo.empty());
    EXPECT_EQ(space.instance_counter(), 5u);
}

INSTANTIATE_TEST_SUITE_P(Cases, SuccessorOrder,
                         ::testing::Values(OrderCase{false, false}, OrderCase{true, false}, OrderCase{false, true},
                                           OrderCase{true, true}),
                         [](const auto& info) {
                             return std::string(info.param.interfere ? "interfering" : "independent") +
                                    (info.param.short_first ? "_instant_first" : "_durative_first");
                         });

// Action 0 lasts 5, which the deadline of 2 forbids. Before it, the path holds the two
// events of action 1, which lasts 1; one of them claims a position beyond its list,
// which the interference test of any event of another action cannot look up.
struct RejectedStartCase {
    const char* name;
    std::size_t broken;  // which event of action 1 (0: the oldest of the path)
};

class RejectedStart : public ::testing::TestWithParam<RejectedStartCase> {};

TEST_P(RejectedStart, StillTestsEveryEarlierEvent) {
    const RejectedStartCase& c = GetParam();
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}};
    in.actions_duration = {DurationBounds{{int_node(5)}, {int_node(5)}, false, false},
                           DurationBounds{{int_node(1)}, {int_node(1)}, false, false}};
    std::vector<TimedEvent> a0, a1;
    a0.emplace_back(Timing{true, Rational(0)}, make_event(Action{0}, 0, {.writes = {0}}));
    for (std::uint64_t k = 0; k < 2; ++k)
        a1.emplace_back(Timing{k == 0, Rational(0)}, make_event(Action{1}, k == c.broken ? 7 : k, {.writes = {1}}));
    in.events = {{Action{0}, std::move(a0)}, {Action{1}, std::move(a1)}};
    in.initial_state = FlatExpr(2, int_node(0));
    in.deadline = Rational(2);
    SearchSpace space(std::move(in));
    StatePtr state = space.initial_state();
    for (int step = 0; step < 2; ++step) {
        state = space.get_successor_state(*state, Action{1});
        ASSERT_TRUE(state);
    }
    // The network fails at the start constraints, yet the new event is still tested
    // against every event of the path, the oldest as well as the newest.
    try {
        space.get_successor_state(*state, Action{0});
        ADD_FAILURE() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "event position beyond its action's fluent sets");
    }
    EXPECT_EQ(space.instance_counter(), 3u + 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, RejectedStart,
                         ::testing::Values(RejectedStartCase{"oldest_broken", 0}, RejectedStartCase{"newest_broken", 1}),
                         [](const auto& info) { return std::string(info.param.name); });


// --- successors built in place -------------------------------------------------------------

namespace in_place {

struct Seen {
    std::vector<std::uint64_t> values;
    double g;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> path;
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> todo;
    std::vector<std::pair<SearchNetwork::Key, double>> points;
    bool operator==(const Seen&) const = default;
};

Seen seen(const State& s) {
    Seen out{{}, s.g, {}, {}, {}};
    for (std::uint64_t f = 0; f < s.values.size(); ++f) out.values.push_back(s.values.cell(f).value_hash());
    for (const PathEntry& e : s.path.iter_rev()) out.path.emplace_back(e.action.idx, e.pos, e.instance);
    for (const auto& [a, e] : s.todo) out.todo.emplace_back(a.idx, e.next_event, e.instance);
    std::sort(out.todo.begin(), out.todo.end());
    if (s.temporal_network) out.points = s.temporal_network->points();
    return out;
}

// Three levels of successors, each level from every state of the one before.
template <class Expand>
std::vector<Seen> levels(const SearchSpace& space, Expand&& expand) {
    std::vector<Seen> out;
    std::vector<StatePtr> level{space.initial_state()};
    for (int depth = 0; depth < 3; ++depth) {
        std::vector<StatePtr> next;
        for (const StatePtr& s : level) expand(*s, out, next);
        level = std::move(next);
    }
    return out;
}

}  // namespace in_place

TEST(SuccessorsInPlace, GiveWhatTheLazySequenceGivesInOneReusedState) {
    using namespace in_place;
    // Two spaces alike, so that both number their starts alike.
    SearchSpace a = two_action_task(false), b = two_action_task(false);
    std::vector<Seen> lazy = levels(a, [&](const State& s, std::vector<Seen>& out, std::vector<StatePtr>& next) {
        auto seq = a.get_successor_states_iter(s.full_clone());
        while (StatePtr c = seq.next()) {
            out.push_back(seen(*c));
            next.push_back(c);
        }
    });
    StateBox box;  // shared by every parent
    const State* first = nullptr;
    std::vector<Seen> placed = levels(b, [&](const State& s, std::vector<Seen>& out, std::vector<StatePtr>& next) {
        SuccessorsInPlace<SearchSpace> seq(b, s, box);
        while (const State* c = seq.next()) {
            if (!first) first = c;
            // The same memory every time, as long as nothing takes it.
            EXPECT_EQ(c, first);
            out.push_back(seen(*c));
            next.push_back(c->full_clone());
        }
    });
    ASSERT_FALSE(lazy.empty());
    EXPECT_EQ(placed, lazy);
    EXPECT_EQ(b.instance_counter(), a.instance_counter());
}

TEST(SuccessorsInPlace, TakeHandsTheSuccessorOverAndGoesOnAfterAnError) {
    SearchSpace space = lazy_task();
    StatePtr root = space.initial_state();
    StateBox box;
    SuccessorsInPlace<SearchSpace> seq(space, *root, box);
    ASSERT_TRUE(seq.next());
    StatePtr taken = seq.take();
    EXPECT_EQ(taken->path.front().action, Action{0});
    EXPECT_THROW(seq.next(), Error);
    const State* third = seq.next();
    ASSERT_TRUE(third);
    EXPECT_NE(third, taken.get());
    EXPECT_EQ(third->path.front().action, Action{2});
    // The state taken is not touched by what came after.
    EXPECT_EQ(taken->path.front().action, Action{0});
    EXPECT_EQ(taken->g, 1.0);
    EXPECT_FALSE(seq.next());
}

TEST(ResetFrom, ReusedMemoryHoldsExactlyTheParentsCopyAndLetsGoOfOldBoxes) {
    const std::size_t boxes = CellBox::live();
    LayoutPtr cells = StateLayout::cells_only(2);
    const ExpressionNode big = ExpressionNode::integer(Integer::from_decimal("1267650600228229401496703205376"));
    StatePtr with_big = State::make(std::vector<ExpressionNode>{big, int_node(1)}, cells);
    StatePtr small = State::make(std::vector<ExpressionNode>{int_node(2), int_node(3)}, cells);
    {
        StateBox box = with_big->clone_for_child();
        box->heuristic_cache.put("h", 4.0);
        const State* memory = box.get();
        box.reset_from(*small);
        EXPECT_EQ(box.get(), memory);
        EXPECT_TRUE(box->values == small->values);
        EXPECT_FALSE(box->has_boxed());
        EXPECT_FALSE(box->heuristic_cache.get("h").has_value());
        box.reset_from(*with_big);
        EXPECT_TRUE(box->values == with_big->values);
        EXPECT_TRUE(box->has_boxed());
        // Shared: the box cannot be reused, so the copy is made in fresh memory.
        StatePtr shared(std::move(box));
        StateBox other;
        other.reset_from(*shared);
        EXPECT_NE(other.get(), shared.get());
        EXPECT_TRUE(other->values == with_big->values);
    }
    with_big.reset();
    EXPECT_EQ(CellBox::live(), boxes);
}

// Reused memory without boxes on either side: every field is the parent's, the cache is
// empty and the hash is computed anew.
TEST(ResetFrom, ReusedMemoryWithoutBoxesTakesEveryFieldOfTheParent) {
    LayoutPtr layout = StateLayout::make({true, false});
    StateBox a = State::make(std::vector<ExpressionNode>{ExpressionNode::boolean(true), int_node(1)}, layout);
    a->g = 3.0;
    a->path.push_front(PathEntry{Action{1}, 0, 0});
    a->todo.insert_or_assign(Action{2}, RunningEntry{1, 5});
    const StatePtr running(std::move(a));
    const StatePtr idle = State::make(std::vector<ExpressionNode>{ExpressionNode::boolean(false), int_node(4)}, layout);

    StateBox box = State::make(std::vector<ExpressionNode>{ExpressionNode::boolean(false), int_node(7)}, layout);
    box->g = 9.0;
    box->heuristic_cache.put("h", 1.0);
    const std::uint64_t old_hash = box->hash();
    const State* memory = box.get();
    box.reset_from(*running);
    EXPECT_EQ(box.get(), memory);
    EXPECT_TRUE(box->values == running->values);
    EXPECT_EQ(box->g, 3.0);
    EXPECT_TRUE(box->path.same_as(running->path));
    ASSERT_EQ(box->todo.size(), 1u);
    EXPECT_EQ(box->todo.find(Action{2})->second.next_event, 1u);
    EXPECT_FALSE(box->heuristic_cache.get("h").has_value());
    EXPECT_NE(box->hash(), old_hash);
    EXPECT_EQ(box->hash(), running->hash());
    EXPECT_TRUE(*box == *running);

    box.reset_from(*idle);
    EXPECT_EQ(box.get(), memory);
    EXPECT_TRUE(box->todo.empty());
    EXPECT_TRUE(box->path.empty());
    EXPECT_EQ(box->g, 0.0);
    EXPECT_EQ(box->hash(), idle->hash());
    EXPECT_TRUE(*box == *idle);
}

// --- durative conditions --------------------------------------------------------------------

// Actions 0 and 1 (no durations: not temporal) each open "fluent 0" with their first event
// and close it with their second.
SearchSpace two_openers() {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}};
    in.actions_duration = {std::nullopt, std::nullopt};
    for (std::uint64_t a = 0; a < 2; ++a) {
        std::vector<TimedEvent> list;
        list.emplace_back(Timing{true, Rational(0)}, make_event(Action{a}, 0, {.opens = {0}}));
        list.emplace_back(Timing{false, Rational(0)}, make_event(Action{a}, 1, {.closes = {0}}));
        in.events.emplace_back(Action{a}, std::move(list));
    }
    in.initial_state = FlatExpr{ExpressionNode::boolean(true)};
    return SearchSpace(std::move(in));
}

TEST(DurativeConditions, StatesShareTheSpacesConditionAndKeepItWhenTheSpaceIsGone) {
    StatePtr one, both;
    StateBox by_hand;
    {
        SearchSpace space = two_openers();
        one = space.get_successor_state(*space.initial_state(), Action{0});
        ASSERT_TRUE(one);
        both = space.get_successor_state(*one, Action{1});
        ASSERT_TRUE(both);
        ASSERT_EQ(one->active_conditions.size(), 1u);
        ASSERT_EQ(both->active_conditions.size(), 1u);
        // Opening a condition again counts it; no state holds a copy of the expression.
        const auto& [in_one, count_one] = *one->active_conditions.begin();
        const auto& [in_both, count_both] = *both->active_conditions.begin();
        EXPECT_TRUE(in_one.same_object(in_both));
        EXPECT_EQ(count_one, 1u);
        EXPECT_EQ(count_both, 2u);
        StatePtr other = space.get_successor_state(*space.initial_state(), Action{1});
        ASSERT_TRUE(other);
        EXPECT_TRUE(other->active_conditions.begin()->first.same_object(in_one));

        // The same progress made without the space: its own copy of the expression.
        by_hand = State::make(FlatExpr{ExpressionNode::boolean(true)}, space.layout());
        by_hand->todo[Action{0}] = both->todo.at(Action{0});
        by_hand->todo[Action{1}] = both->todo.at(Action{1});
        by_hand->active_conditions[fluent_expr(0)] = 2;
        EXPECT_FALSE(by_hand->active_conditions.begin()->first.same_object(in_both));
    }
    // The states outlive their space: their conditions are still there, compared and
    // hashed by the expression and its count.
    EXPECT_EQ(both->active_conditions.begin()->first.expr(), fluent_expr(0));
    EXPECT_TRUE(*both == *by_hand);
    EXPECT_EQ(both->hash(), by_hand->hash());
    by_hand->active_conditions[fluent_expr(0)] = 1;
    EXPECT_FALSE(*both == *by_hand);
}


// --- states made again from their parents -----------------------------------------------

namespace made_again {

// A state's network whole: every point with its potential and its out-edges.
std::vector<std::pair<std::pair<SearchNetwork::Key, double>, Edges>> network_of(const State& s) {
    std::vector<std::pair<std::pair<SearchNetwork::Key, double>, Edges>> out;
    for (const auto& point : s.temporal_network->points()) out.emplace_back(point, edges_of(*s.temporal_network, point.first));
    return out;
}

}  // namespace made_again

class MadeAgain : public ::testing::TestWithParam<bool> {};

// A store that keeps the networks of expanded states only gives each state, when it is
// expanded, the network it had when it was generated, and the space's numbering of
// starts moves only when states are generated.
TEST_P(MadeAgain, ExpandedStatesGetTheNetworksTheyWereGeneratedWith) {
    using made_again::network_of;
    SearchSpace space = two_action_task(false, std::nullopt, GetParam());
    StatePtr root = space.initial_state();
    StateStore lean(root, SeenPolicy::None);
    search::prepare_store(space, lean);
    std::vector<decltype(network_of(*root))> generated{network_of(*root)};
    std::vector<StateId> queue{0};
    StateBox box, scratch, child;
    for (std::size_t i = 0; i < queue.size() && generated.size() < 300; ++i) {
        const std::uint32_t counter = space.instance_counter();
        search::expansion_state_into(space, lean, queue[i], false, box, scratch);
        ASSERT_EQ(space.instance_counter(), counter);
        ASSERT_EQ(network_of(*box), generated[queue[i]]) << "state " << queue[i];
        SuccessorsInPlace<SearchSpace> successors(space, *box, child);
        while (const State* c = successors.next()) {
            const StateId id = lean.add(*c, queue[i], *box);
            ASSERT_EQ(id, generated.size());
            generated.push_back(network_of(*c));
            queue.push_back(id);
        }
    }
    EXPECT_GE(generated.size(), 300u);
}

INSTANTIATE_TEST_SUITE_P(Steps, MadeAgain, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "compressed" : "one_event_a_step"; });

}  // namespace
}  // namespace quorvane
