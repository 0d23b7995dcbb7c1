// The state store of a search: duplicates turned away exactly as the seen sets of states
// do, stored states rebuilt whole (values, g, progress, path), boxed values kept alive as
// long as the store and no longer, and many states keeping their ids.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "seen_set_oracle.hpp"
#include "engine/state/cell.hpp"
#include "engine/state/state.hpp"
#include "engine/state/state_store.hpp"
#include "engine/support/background_release.hpp"
#include "node_builders.hpp"

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;

// Fluents 0 and 1 are bits, 2 and 3 cells; fluent 3 holds a number too large to sit
// inline, so it is boxed.
const LayoutPtr& root_layout() {
    static const LayoutPtr layout = StateLayout::make({true, true, false, false});
    return layout;
}

constexpr std::int64_t kBig = std::int64_t{1} << 62;

using Running = std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>>;  // action, next, instance

enum class Slots { Root, CellsOnly, Spilled };

struct Spec {
    bool b0 = true;
    bool b1 = false;
    std::int64_t x = 3;
    std::int64_t big = kBig;
    Running running = {{1, 1, 5}, {2, 2, 7}};
    std::uint64_t condition_count = 0;  // of the condition `true`
    bool temporal = false;
    Slots slots = Slots::Root;
};

std::vector<ExpressionNode> values_of(const Spec& s) {
    // A non-boolean in the bit slot of fluent 1 moves the state into cells only.
    return {B(s.b0), s.slots == Slots::Spilled ? I(7) : B(s.b1), I(s.x), I(s.big)};
}

StatePtr make(const Spec& s) {
    const std::vector<ExpressionNode> values = values_of(s);
    StateBox box = State::make(values, s.slots == Slots::CellsOnly ? StateLayout::cells_only(4) : root_layout());
    for (const auto& [action, next, instance] : s.running) box->todo[Action{action}] = RunningEntry{next, instance};
    if (s.condition_count) box->active_conditions[FlatExpr{B(true)}] = s.condition_count;
    if (s.temporal) box->temporal_network.emplace(0.0);
    return StatePtr(std::move(box));
}

template <class F>
Spec with(F change) {
    Spec s;
    change(s);
    return s;
}

// Running actions with their instance numbers, in action order.
Running running_of(const State& s) {
    Running out;
    for (const auto& [action, entry] : s.todo) out.emplace_back(action.idx, entry.next_event, entry.instance);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> path_of(const State& s) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> out;  // newest first
    for (const PathEntry& e : s.path.iter_rev()) out.emplace_back(e.action.idx, e.pos, e.instance);
    return out;
}

std::vector<std::uint64_t> plan_of(const State& s) {
    std::vector<std::uint64_t> out;
    for (const PathEntry& e : s.path.iter_rev()) out.push_back(e.action.idx);
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<std::uint64_t> indices(const std::vector<Action>& plan) {
    std::vector<std::uint64_t> out;
    for (Action a : plan) out.push_back(a.idx);
    return out;
}

// Every fluent's value, as nodes.
std::vector<ExpressionNode> values_of(const State& s) { return {s.values.begin(), s.values.end()}; }

std::uint64_t bits_of(double g) { return std::bit_cast<std::uint64_t>(g); }

// --- duplicates -------------------------------------------------------------------------

struct DuplicateCase {
    const char* what;
    Spec a;
    Spec b;
    bool equal;       // State equality
    bool weak_equal;  // the weak equality of temporal tasks
};

void PrintTo(const DuplicateCase& c, std::ostream* os) { *os << c.what; }

const Spec kBase;

const DuplicateCase kDuplicateCases[] = {
    {"the same values, the big number in another box", kBase, kBase, true, true},
    {"one bit differs", kBase, with([](Spec& s) { s.b1 = true; }), false, false},
    {"one cell differs", kBase, with([](Spec& s) { s.x = 4; }), false, false},
    {"a boxed cell differs", kBase, with([](Spec& s) { s.big = kBig + 1; }), false, false},
    {"another next event", kBase, with([](Spec& s) { std::get<1>(s.running[1]) = 3; }), false, false},
    {"instance numbers only", kBase,
     with([](Spec& s) { s.running = {{2, 2, 70}, {1, 1, 50}}; }), true, true},
    {"another action running", kBase, with([](Spec& s) { std::get<0>(s.running[1]) = 9; }), false, false},
    {"nothing running", kBase, with([](Spec& s) { s.running.clear(); }), false, false},
    {"a condition open", kBase, with([](Spec& s) { s.condition_count = 1; }), false, true},
    {"a condition counted twice", with([](Spec& s) { s.condition_count = 1; }),
     with([](Spec& s) { s.condition_count = 2; }), false, true},
    {"the same condition", with([](Spec& s) { s.condition_count = 2; }),
     with([](Spec& s) { s.condition_count = 2; }), true, true},
    {"nothing running, nothing open", with([](Spec& s) { s.running.clear(); }),
     with([](Spec& s) { s.running.clear(); }), true, true},
    {"temporal, the same", with([](Spec& s) { s.temporal = true; }), with([](Spec& s) { s.temporal = true; }),
     false, true},
    {"temporal, instance numbers only", with([](Spec& s) { s.temporal = true; }),
     with([](Spec& s) {
         s.temporal = true;
         std::get<2>(s.running[0]) = 99;
     }),
     false, true},
    {"temporal, a condition open", with([](Spec& s) { s.temporal = true; }),
     with([](Spec& s) {
         s.temporal = true;
         s.condition_count = 1;
     }),
     false, true},
    {"temporal, another next event", with([](Spec& s) { s.temporal = true; }),
     with([](Spec& s) {
         s.temporal = true;
         std::get<1>(s.running[0]) = 2;
     }),
     false, false},
    {"both spilled into cells, the same", with([](Spec& s) { s.slots = Slots::Spilled; }),
     with([](Spec& s) { s.slots = Slots::Spilled; }), true, true},
    {"both spilled into cells, one cell differs", with([](Spec& s) { s.slots = Slots::Spilled; }),
     with([](Spec& s) {
         s.slots = Slots::Spilled;
         s.x = 4;
     }),
     false, false},
    {"spilled against the root's slots", kBase, with([](Spec& s) { s.slots = Slots::Spilled; }), false, false},
    // Equal values fluent by fluent; the weak key compares the hashes of the values
    // first, and those follow the layout.
    {"the same values in cells only", kBase, with([](Spec& s) { s.slots = Slots::CellsOnly; }), true, false},
    {"cells only against cells only", with([](Spec& s) { s.slots = Slots::CellsOnly; }),
     with([](Spec& s) { s.slots = Slots::CellsOnly; }), true, true},
    {"cells only, instance numbers only", with([](Spec& s) { s.slots = Slots::CellsOnly; }),
     with([](Spec& s) {
         s.slots = Slots::CellsOnly;
         std::get<2>(s.running[1]) = 1;
     }),
     true, true},
};

// How the first state of a pair gets into the store.
enum class FirstIs { AddedUnique, AddedThenRecorded, TheRoot };

class StoreDuplicates : public ::testing::TestWithParam<std::tuple<DuplicateCase, SeenPolicy>> {};

TEST_P(StoreDuplicates, TurnsAwayExactlyWhatTheSeenSetsDo) {
    const auto& [c, policy] = GetParam();
    const StatePtr a = make(c.a);
    const StatePtr b = make(c.b);
    // The pair is what the table says under the equalities the seen sets are made of.
    ASSERT_EQ(*a == *b, c.equal);
    ASSERT_EQ(search::WeakEqState(a) == search::WeakEqState(b), c.weak_equal);
    // Every state holds its big number in a box of its own.
    ASSERT_TRUE(a->has_boxed() && b->has_boxed());
    ASSERT_NE(a->values.cell(3).word(), b->values.cell(3).word());

    search::SeenSet old(policy);
    ASSERT_TRUE(old.insert(a));
    const bool old_contains = old.contains(b);
    const bool old_duplicate = !old.insert(b);
    if (policy == SeenPolicy::None) EXPECT_FALSE(old_duplicate);
    if (c.a.slots == c.b.slots) {
        // One layout: the seen sets turn away exactly the equal states.
        EXPECT_EQ(old_duplicate, policy == SeenPolicy::States ? c.equal : policy == SeenPolicy::WeakStates && c.weak_equal);
    }

    for (FirstIs first : {FirstIs::AddedUnique, FirstIs::AddedThenRecorded, FirstIs::TheRoot}) {
        SCOPED_TRACE(first == FirstIs::TheRoot ? "the first is the root"
                     : first == FirstIs::AddedUnique ? "the first added unique"
                                                     : "the first added, then recorded");
        Spec root_spec;
        root_spec.x = 100;
        root_spec.temporal = c.a.temporal;
        const StatePtr root = first == FirstIs::TheRoot ? a : make(root_spec);
        StateStore store(root, policy);
        store.record_seen(0);
        if (first == FirstIs::AddedUnique) {
            ASSERT_EQ(store.add_unique(*a, 0, *root), 1u);
        } else if (first == FirstIs::AddedThenRecorded) {
            ASSERT_EQ(store.add(*a, 0, *root), 1u);
            // Stored is not recorded: only the root is in the seen set yet.
            EXPECT_FALSE(store.seen(*b));
            store.record_seen(1);
        }
        const std::size_t before = store.size();
        EXPECT_EQ(store.seen(*b), old_contains) << c.what;
        const StateId id = store.add_unique(*b, 0, *root);
        EXPECT_EQ(id == kNoStateId, old_duplicate) << c.what;
        if (id == kNoStateId) {
            EXPECT_EQ(store.size(), before);
            continue;
        }
        EXPECT_EQ(id, before);
        EXPECT_EQ(values_of(*store.state(id, false)), values_of(*b));
        // Once recorded, the second is seen as well, and an equal third is turned away.
        if (policy != SeenPolicy::None) {
            const StatePtr third = make(c.b);
            const bool third_duplicate = policy == SeenPolicy::States ? *third == *b
                                                                      : search::WeakEqState(third) == search::WeakEqState(b);
            EXPECT_EQ(store.seen(*third), third_duplicate) << c.what;
            EXPECT_EQ(store.add_unique(*third, 0, *root) == kNoStateId, third_duplicate) << c.what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, StoreDuplicates,
    ::testing::Combine(::testing::ValuesIn(kDuplicateCases),
                       ::testing::Values(SeenPolicy::States, SeenPolicy::WeakStates, SeenPolicy::None)),
    [](const ::testing::TestParamInfo<std::tuple<DuplicateCase, SeenPolicy>>& info) {
        std::string name;
        for (const char* p = std::get<0>(info.param).what; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        const SeenPolicy policy = std::get<1>(info.param);
        return name + (policy == SeenPolicy::States ? "_States" : policy == SeenPolicy::WeakStates ? "_Weak" : "_None");
    });

TEST(StateStore, RecordedStatesAreSeenUntilForgotten) {
    const StatePtr root = make(with([](Spec& s) { s.x = 100; }));
    StateStore store(root, SeenPolicy::States);
    const StatePtr a = make(kBase);
    const StatePtr equal_to_a = make(with([](Spec& s) { std::get<2>(s.running[0]) = 1000; }));
    const StateId id = store.add(*a, 0, *root);
    // Stored is not recorded.
    EXPECT_FALSE(store.seen(*equal_to_a));
    EXPECT_FALSE(store.seen(*root));
    EXPECT_EQ(store.seen_size(), 0u);
    store.record_seen(0);
    store.record_seen(id);
    EXPECT_EQ(store.seen_size(), 2u);
    EXPECT_TRUE(store.seen(*equal_to_a));
    EXPECT_TRUE(store.seen(*make(with([](Spec& s) { s.x = 100; }))));
    EXPECT_FALSE(store.seen(*make(with([](Spec& s) { s.x = 5; }))));
    EXPECT_EQ(store.add_unique(*equal_to_a, 0, *root), kNoStateId);
    // Recording an equal state again leaves one entry.
    const StateId again = store.add(*equal_to_a, 0, *root);
    store.record_seen(again);
    EXPECT_EQ(store.seen_size(), 2u);

    store.forget_seen();
    EXPECT_EQ(store.seen_size(), 0u);
    EXPECT_FALSE(store.seen(*equal_to_a));
    // The states stay; only the seen set is empty.
    EXPECT_EQ(store.size(), 3u);
    EXPECT_EQ(values_of(*store.state(id, false)), values_of(*a));
    EXPECT_EQ(store.add_unique(*equal_to_a, 0, *root), 3u);
    EXPECT_EQ(store.add_unique(*a, 0, *root), kNoStateId);

    StateStore none(root, SeenPolicy::None);
    none.record_seen(0);
    EXPECT_EQ(none.seen_size(), 0u);
    EXPECT_FALSE(none.seen(*root));
}

// --- rebuilding stored states -----------------------------------------------------------

struct Generation {
    std::vector<PathEntry> entries;  // pushed in this order, each in front
    bool spill = false;              // fluent 1 holds a number: the child moves into cells only
    bool boxed = false;
    double g_step = 1.0;
};

// Children made as the search space makes them: from the parent rebuilt with its whole
// path, values written, running actions and conditions changed, events pushed in front.
StatePtr make_child(const State& parent, int k, const Generation& gen) {
    StateBox child = parent.clone_for_child();
    child.set_value(0, B(k % 2 == 0));
    child.set_value(1, gen.spill ? I(1000 + k) : B(k % 3 == 0));
    child.set_value(2, I(k));
    child.set_value(3, gen.boxed ? I(kBig + k) : I(-k));
    child.adopt_layout(root_layout());
    child->todo[Action{static_cast<std::uint64_t>(k)}] = RunningEntry{static_cast<std::uint64_t>(k % 4), 100u + k};
    if (k % 3 == 0) child->todo.erase(Action{static_cast<std::uint64_t>(k - 1)});
    child->active_conditions[FlatExpr{B(true)}] = static_cast<std::uint64_t>(k);
    if (k % 4 == 0) child->active_conditions.erase(FlatExpr{B(true)});
    if (child->temporal_network) {
        // A network of its own: another tolerance and deadline in every state.
        child->temporal_network.emplace(0.001 * k);
        (*child->temporal_network).post_deadline(10.0 + k);
    }
    for (const PathEntry& e : gen.entries) child->path.push_front(e);
    child->g += gen.g_step;
    return StatePtr(std::move(child));
}

void expect_rebuilt(const StateStore& store, StateId id, const State& original) {
    SCOPED_TRACE("state " + std::to_string(id));
    const StatePtr whole = store.state(id, true);
    EXPECT_EQ(values_of(*whole), values_of(original));
    EXPECT_EQ(whole->values.layout().cells_only(), original.values.layout().cells_only());
    EXPECT_EQ(whole->has_boxed(), original.has_boxed());
    EXPECT_EQ(bits_of(whole->g), bits_of(original.g));
    EXPECT_EQ(bits_of(store.g(id)), bits_of(original.g));
    EXPECT_EQ(running_of(*whole), running_of(original));
    EXPECT_TRUE(same_conditions(whole->active_conditions, original.active_conditions));
    ASSERT_EQ(whole->temporal_network.has_value(), original.temporal_network.has_value());
    if (original.temporal_network) {
        EXPECT_EQ((*whole->temporal_network).tolerance(), (*original.temporal_network).tolerance());
        EXPECT_EQ((*whole->temporal_network).points(), (*original.temporal_network).points());
    }
    EXPECT_EQ(path_of(*whole), path_of(original));
    EXPECT_EQ(indices(store.plan(id)), plan_of(original));
    EXPECT_TRUE(*whole == original || original.temporal_network.has_value());

    const StatePtr bare = store.state(id, false);
    EXPECT_EQ(values_of(*bare), values_of(original));
    EXPECT_EQ(bits_of(bare->g), bits_of(original.g));
    EXPECT_EQ(running_of(*bare), running_of(original));
    EXPECT_TRUE(same_conditions(bare->active_conditions, original.active_conditions));
    EXPECT_TRUE(bare->path.empty());
}

class StoreRoundTrip : public ::testing::TestWithParam<bool> {};  // temporal

TEST_P(StoreRoundTrip, ChainsOfChildrenComeBackWhole) {
    const bool temporal = GetParam();
    const std::size_t boxes = CellBox::live();
    {
        StateBox root_box = State::make(values_of(with([](Spec& s) { s.x = 0; })), root_layout());
        root_box->path.push_front(PathEntry{Action{90}, 0, 0});
        root_box->path.push_front(PathEntry{Action{91}, 1, 3});
        root_box->todo[Action{0}] = RunningEntry{1, 2};
        if (temporal) root_box->temporal_network.emplace(0.0);
        const StatePtr root = StatePtr(std::move(root_box));
        StateStore store(root, temporal ? SeenPolicy::WeakStates : SeenPolicy::States);
        store.record_seen(0);
        EXPECT_EQ(store.state(0, true).get(), root.get());
        EXPECT_EQ(store.state(0, false).get(), root.get());
        EXPECT_EQ(indices(store.plan(0)), (std::vector<std::uint64_t>{90, 91}));

        const std::uint64_t far = std::uint64_t{1} << 40;
        const Generation generations[] = {
            {{{Action{1}, 0, 0}}},
            {{{Action{2}, 3, 9}}, false, true},
            {{{Action{far}, 0, 0}}, true, false},  // an action index beyond 32 bits
            {{{Action{4}, 0, 4}, {Action{5}, 1, 4}}, false, true, 2.0},  // two events in one step
            {{{Action{6}, far, 0}}, true, true},  // a position beyond 32 bits
            {{{Action{7}, 0, 1}}, false, false, 0.5},
            {{}, false, true, 0.0},  // no event at all
            {{{Action{9}, 2, 0}}},
        };
        std::vector<std::pair<StateId, StatePtr>> added;
        StateId parent = 0;
        StatePtr parent_state = root;
        int k = 1;
        for (const Generation& gen : generations) {
            // A sibling first, then the child the chain goes on from.
            const StatePtr sibling = make_child(*parent_state, k + 50, gen);
            const StateId sibling_id = store.add_unique(*sibling, parent, *parent_state);
            ASSERT_NE(sibling_id, kNoStateId);
            added.emplace_back(sibling_id, sibling);
            const StatePtr child = make_child(*parent_state, k++, gen);
            const StateId id = store.add_unique(*child, parent, *parent_state);
            ASSERT_EQ(id, store.size() - 1);
            EXPECT_EQ(store.parent(id), parent);
            added.emplace_back(id, child);
            parent = id;
            parent_state = store.state(id, true);
        }
        EXPECT_EQ(indices(store.plan(parent)),
                  (std::vector<std::uint64_t>{90, 91, 1, 2, far, 4, 5, 6, 7, 9}));
        for (const auto& [id, original] : added) expect_rebuilt(store, id, *original);
        EXPECT_GT(CellBox::live(), boxes);
    }
    EXPECT_EQ(CellBox::live(), boxes);
}

INSTANTIATE_TEST_SUITE_P(Tasks, StoreRoundTrip, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Temporal" : "Classical"; });

TEST(StateStore, APathMadeFromScratchIsTheStatesWholePath) {
    StateBox root_box = State::make(values_of(kBase), root_layout());
    root_box->path.push_front(PathEntry{Action{90}, 0, 0});
    const StatePtr root = StatePtr(std::move(root_box));
    StateStore store(root, SeenPolicy::States);
    const StatePtr first = make_child(*root, 1, {{{Action{1}, 0, 0}}});
    const StateId first_id = store.add(*first, 0, *root);
    const StatePtr first_state = store.state(first_id, true);

    struct Case {
        const char* what;
        StateId parent;
        const State* parent_state;
        std::vector<PathEntry> own;  // pushed in this order, each in front
    };
    const Case cases[] = {
        {"a child of the root", 0, root.get(), {{Action{20}, 0, 0}}},
        {"a child of a stored state", first_id, first_state.get(), {{Action{21}, 0, 0}, {Action{22}, 4, 2}}},
        {"an empty path", first_id, first_state.get(), {}},
    };
    for (const Case& c : cases) {
        StateBox scratch = State::make(values_of(with([](Spec& s) { s.x = 77; })), root_layout());
        for (const PathEntry& e : c.own) scratch->path.push_front(e);
        scratch->g = 3;
        const StatePtr s = StatePtr(std::move(scratch));
        const StateId id = store.add(*s, c.parent, *c.parent_state);
        expect_rebuilt(store, id, *s);
        // A child of it goes on from its path, not its parent's.
        const StatePtr rebuilt = store.state(id, true);
        const StatePtr grandchild = make_child(*rebuilt, 2, {{{Action{30}, 0, 0}}});
        expect_rebuilt(store, store.add(*grandchild, id, *rebuilt), *grandchild);
    }
}

TEST(StateStore, GComesBackExactly) {
    const double gs[] = {0.1, 1e300, -1e300, 16777217.0, 1.0 / 3.0, 5e-324, -0.0, 2.5, 3.0,
                         std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    StateBox root_box = State::make(values_of(kBase), root_layout());
    root_box->g = 0.1;
    const StatePtr root = StatePtr(std::move(root_box));
    StateStore store(root, SeenPolicy::States);
    EXPECT_EQ(bits_of(store.g(0)), bits_of(0.1));
    int k = 0;
    for (double g : gs) {
        for (bool unique : {false, true}) {
            StateBox child = root->clone_for_child();
            child.set_value(2, I(++k));
            child->g = g;
            const StatePtr s = StatePtr(std::move(child));
            const StateId id = unique ? store.add_unique(*s, 0, *root) : store.add(*s, 0, *root);
            ASSERT_NE(id, kNoStateId);
            // The same state again: turned away once recorded, else stored anew. Either
            // way the g stored before stays as it was.
            EXPECT_EQ(store.add_unique(*s, 0, *root), unique ? kNoStateId : id + 1);
            EXPECT_EQ(bits_of(store.g(id)), bits_of(g)) << g;
            EXPECT_EQ(bits_of(store.state(id, true)->g), bits_of(g)) << g;
            EXPECT_EQ(bits_of(store.state(id, false)->g), bits_of(g)) << g;
        }
    }
}

TEST(StateStore, BoxesOfTurnedAwayDuplicatesAreLetGo) {
    for (bool temporal : {false, true}) {
        const std::size_t boxes = CellBox::live();
        {
            const StatePtr root = make(with([&](Spec& s) {
                s.x = 100;
                s.temporal = temporal;
            }));
            StateStore store(root, temporal ? SeenPolicy::WeakStates : SeenPolicy::States);
            store.record_seen(0);
            std::vector<std::pair<StateId, std::int64_t>> stored;  // id, its boxed value
            for (Slots slots : {Slots::Root, Slots::Spilled, Slots::CellsOnly}) {
                for (std::int64_t x = 0; x < 3; ++x) {
                    const Spec spec = with([&](Spec& s) {
                        s.x = x;
                        s.big = kBig + x;
                        s.slots = slots;
                        s.temporal = temporal;
                    });
                    const StateId id = store.add_unique(*make(spec), 0, *root);
                    // Values in cells only may or may not match the same values in the
                    // root's slots (as in the seen sets); the others are new.
                    if (slots != Slots::CellsOnly) ASSERT_NE(id, kNoStateId);
                    if (id != kNoStateId) stored.emplace_back(id, kBig + x);
                    // An equal state in boxes of its own, twice.
                    const StatePtr again = make(spec);
                    EXPECT_EQ(store.add_unique(*again, 0, *root), kNoStateId);
                    EXPECT_EQ(store.add_unique(*again, 0, *root), kNoStateId);
                }
            }
            // Every state but the stored ones is gone: the store holds one box for each
            // of them, and the root its own.
            EXPECT_EQ(CellBox::live(), boxes + stored.size() + 1);
            for (std::size_t i = 0; i < stored.size(); ++i) {
                const StatePtr s = store.state(stored[i].first, i % 2 == 0);
                EXPECT_EQ(s->values[3], I(stored[i].second));
            }
            EXPECT_EQ(CellBox::live(), boxes + stored.size() + 1);
            const StatePtr kept = store.state(stored.back().first, true);
            const StatePtr kept_root = store.state(0, true);
        }
        EXPECT_EQ(CellBox::live(), boxes) << (temporal ? "temporal" : "classical");
    }
}

// --- many states ------------------------------------------------------------------------

// State i of the many: its parent, and what it holds.
StateId parent_of(std::size_t i) { return static_cast<StateId>(i / 3); }
bool spills(std::size_t i) { return i % 11 == 0; }
std::vector<ExpressionNode> many_values(std::size_t i) {
    const auto v = static_cast<std::int64_t>(i);
    return {B(i & 1), spills(i) ? I(v) : B(i & 2), I(v), i % 13 == 0 ? I(kBig + v) : I(-v)};
}
PathEntry many_entry(std::size_t i) {
    return PathEntry{Action{i}, i % 7 == 0 ? i : 0, i % 5 == 0 ? static_cast<std::uint32_t>(i) : 0u};
}
double many_g(std::size_t i) { return i % 17 == 0 ? 0.1 * static_cast<double>(i) : static_cast<double>(i % 1000); }

class ManyStates : public ::testing::TestWithParam<bool> {};  // temporal

TEST_P(ManyStates, KeepTheirIdsAndValues) {
    const bool temporal = GetParam();
    constexpr std::size_t kStates = 50'000;
    const std::size_t boxes = CellBox::live();
    {
        StateBox root_box = State::make(many_values(0), root_layout());
        if (temporal) root_box->temporal_network.emplace(0.0);
        const StatePtr root = StatePtr(std::move(root_box));
        StateStore store(root, temporal ? SeenPolicy::WeakStates : SeenPolicy::States);
        store.record_seen(0);
        for (std::size_t i = 1; i < kStates; ++i) {
            const StatePtr parent = store.state(parent_of(i), true);
            StateBox child = parent->clone_for_child();
            const std::vector<ExpressionNode> values = many_values(i);
            for (std::uint64_t f = 0; f < values.size(); ++f) child.set_value(f, values[f]);
            child.adopt_layout(root_layout());
            child->todo.clear();
            if (i % 3 == 0) child->todo[Action{i % 4}] = RunningEntry{i % 5, static_cast<std::uint32_t>(i)};
            child->path.push_front(many_entry(i));
            child->g = many_g(i);
            ASSERT_EQ(store.add_unique(*child, parent_of(i), *parent), i);
            if (i % 97 == 0) {
                StateBox copy = child->clone_for_child();
                ASSERT_EQ(store.add_unique(*StatePtr(std::move(copy)), 0, *root), kNoStateId) << i;
            }
        }
        ASSERT_EQ(store.size(), kStates);
        for (std::size_t i = 1; i < kStates; ++i) {
            SCOPED_TRACE("state " + std::to_string(i));
            const StatePtr s = store.state(static_cast<StateId>(i), i % 1000 == 0);
            ASSERT_EQ(values_of(*s), many_values(i));
            ASSERT_EQ(s->values.layout().cells_only(), spills(i));
            ASSERT_EQ(bits_of(store.g(static_cast<StateId>(i))), bits_of(many_g(i)));
            ASSERT_EQ(store.parent(static_cast<StateId>(i)), parent_of(i));
            ASSERT_EQ(s->todo.size(), i % 3 == 0 ? 1u : 0u);
            if (i % 3 == 0) {
                EXPECT_EQ(s->todo.at(Action{i % 4}).next_event, i % 5);
                EXPECT_EQ(s->todo.at(Action{i % 4}).instance, i);
            }
            if (i % 1000 != 0) continue;
            std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> expected;
            for (std::size_t at = i; at != 0; at = parent_of(at)) {
                const PathEntry e = many_entry(at);
                expected.emplace_back(e.action.idx, e.pos, e.instance);
            }
            EXPECT_EQ(path_of(*s), expected);
        }
    }
    EXPECT_EQ(CellBox::live(), boxes);
}

INSTANTIATE_TEST_SUITE_P(Tasks, ManyStates, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Temporal" : "Classical"; });

// --- rebuilding into one box -------------------------------------------------------------

TEST(StateStore, RebuildingIntoOneBoxReusesItsMemoryAndMatchesAFreshState) {
    for (bool temporal : {false, true}) {
        SCOPED_TRACE(temporal ? "temporal" : "classical");
        const StatePtr root = make(with([&](Spec& s) { s.temporal = temporal; }));
        StateStore store(root, SeenPolicy::None);
        std::vector<StateId> ids{0};
        std::vector<StatePtr> originals{root};
        for (int k = 1; k < 12; ++k) {
            const StatePtr parent = store.state(ids[k / 2], true);
            Generation gen{{PathEntry{Action{static_cast<std::uint64_t>(k)}, 0, 0}}, k == 5, k % 2 == 0, 1.0};
            originals.push_back(make_child(*parent, k, gen));
            ids.push_back(store.add(*originals.back(), ids[k / 2], *parent));
        }
        StateBox box;
        const State* memory = nullptr;
        // Out of order, the spilled state among them, each with and without its path.
        for (int k : {3, 11, 5, 7, 0, 2, 5, 10, 1}) {
            for (bool full : {true, false}) {
                store.state_into(ids[k], full, box);
                const StatePtr fresh = store.state(ids[k], full);
                EXPECT_EQ(values_of(*box), values_of(*fresh)) << k;
                EXPECT_EQ(bits_of(box->g), bits_of(fresh->g)) << k;
                EXPECT_EQ(running_of(*box), running_of(*fresh)) << k;
                EXPECT_TRUE(same_conditions(box->active_conditions, fresh->active_conditions)) << k;
                EXPECT_EQ(box->has_boxed(), fresh->has_boxed()) << k;
                if (k != 0) EXPECT_EQ(path_of(*box), full ? path_of(*originals[k]) : path_of(*fresh)) << k;
                ASSERT_EQ(box->temporal_network.has_value(), temporal) << k;
                if (temporal)
                    EXPECT_EQ((*box->temporal_network).tolerance(), (*fresh->temporal_network).tolerance()) << k;
                // After a state in cells only the box is in the wrong layout: new memory.
                const bool spilled = box->values.layout().cells_only();
                if (!spilled && memory) EXPECT_EQ(box.get(), memory) << "state " << k << " took new memory";
                memory = spilled ? nullptr : box.get();
            }
        }
    }
}

// --- a releasing store ----------------------------------------------------------------------

TEST(ReleasingStore, LetsGoOfAStateOnceNothingHoldsItAndReusesItsId) {
    for (bool temporal : {false, true}) {
        SCOPED_TRACE(temporal ? "temporal" : "classical");
        const std::size_t boxes = CellBox::live();
        {
            const StatePtr root = make(with([&](Spec& s) { s.temporal = temporal; }));
            StateStore store(root, SeenPolicy::States, true);
            auto child = [&](StateId parent, int k) {
                const StatePtr p = store.state(parent, true);
                const StatePtr c = make_child(*p, k, Generation{{PathEntry{Action{static_cast<std::uint64_t>(k)}, 0, 0}},
                                                                 false, true, 1.0});
                return store.add(*c, parent, *p);
            };
            // root -> a -> (a1, a2), root -> b; each holds a box of its own.
            const StateId a = child(0, 1), b = child(0, 2);
            const StateId a1 = child(a, 3), a2 = child(a, 4);
            EXPECT_EQ(CellBox::live(), boxes + 5);
            store.release(a);  // its children still hold it
            store.release(a1);
            EXPECT_EQ(CellBox::live(), boxes + 4);
            EXPECT_EQ(indices(store.plan(a2)), (std::vector<std::uint64_t>{1, 4}));
            store.release(a2);  // and with it a
            EXPECT_EQ(CellBox::live(), boxes + 2);
            EXPECT_EQ(indices(store.plan(b)), (std::vector<std::uint64_t>{2}));
            // Freed ids are used again, the newest freed first; the new states read right.
            const StateId c = child(b, 5);
            EXPECT_EQ(c, a);
            const StateId d = child(c, 6);
            EXPECT_EQ(d, a2);
            EXPECT_EQ(indices(store.plan(d)), (std::vector<std::uint64_t>{2, 5, 6}));
            EXPECT_EQ(store.state(d, false)->values[2], I(6));
            // The root stays, whatever is released.
            store.release(0);
            store.release(0);
            EXPECT_EQ(indices(store.plan(d)), (std::vector<std::uint64_t>{2, 5, 6}));
            EXPECT_EQ(store.size(), 5u);
        }
        EXPECT_EQ(CellBox::live(), boxes);
    }
}

// --- freeing ------------------------------------------------------------------------------

// A store of `n` temporal states with a box each.
void fill(StateStore& store, const StatePtr& root, int n) {
    for (int k = 1; k <= n; ++k) {
        const StatePtr c = make_child(*root, k, Generation{{PathEntry{Action{1}, 0, 0}}, false, true, 1.0});
        store.add(*c, 0, *root);
    }
}

TEST(StateStore, AStoreDroppedByAnErrorIsFreedOnTheReleaseThreadAndNothingIsLost) {
    const std::size_t boxes = CellBox::live();
    try {
        const StatePtr root = make(with([](Spec& s) { s.temporal = true; }));
        StateStore store(root, SeenPolicy::None);
        fill(store, root, 20000);
        EXPECT_EQ(CellBox::live(), boxes + 20001);
        throw std::runtime_error("stop");
    } catch (const std::runtime_error&) {
    }
    support::wait_for_background_release();
    EXPECT_EQ(CellBox::live(), boxes);
}

TEST(StateStore, ReleaseNowFreesEverythingAtOnce) {
    const std::size_t boxes = CellBox::live();
    StatePtr root = make(with([](Spec& s) { s.temporal = true; }));
    {
        StateStore store(root, SeenPolicy::WeakStates);
        fill(store, root, 20000);
        store.release_now();
        // The root is still held here, with its own box.
        EXPECT_EQ(CellBox::live(), boxes + 1);
    }
    root.reset();
    EXPECT_EQ(CellBox::live(), boxes);
}

}  // namespace
