// The planning model's value types: node equality and hashing, interning, exact
// rationals from machine integers, the persistent path and the search state.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <iterator>
#include <limits>
#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "engine/expressions/node.hpp"
#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "node_builders.hpp"
#include "engine/support/persistent_list.hpp"
#include "engine/expressions/expression_manager.hpp"

namespace {

using namespace quorvane;
using namespace quorvane::test_nodes;


std::uint64_t node_hash(const ExpressionNode& n) {
    support::FxHasher h;
    n.hash_into(h);
    return h.finish();
}

// ---------------------------------------------------------------------------
// Exact rationals from 32-bit integers
// ---------------------------------------------------------------------------

TEST(MkRational, ReducesWithPositiveDenominator) {
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    struct Case {
        std::int32_t n, d;
        const char* text;
    };
    const std::vector<Case> cases = {
        {5, -10, "-1/2"}, {0, -7, "0/1"}, {-4, -4, "1/1"}, {kMin, -1, "2147483648/1"}, {kMin, kMin, "1/1"},
        {6, 4, "3/2"},    {-1, 3, "-1/3"}, {7, 1, "7/1"},
    };
    for (const auto& c : cases) EXPECT_EQ(mk_rational(c.n, c.d).to_string(), c.text) << c.n << "/" << c.d;
}

TEST(MkRational, ZeroDenominatorIsInternalError) { EXPECT_THROW(mk_rational(1, 0), InternalError); }

TEST(RationalFromNode, NumbersOnly) {
    EXPECT_EQ(get_rational_from_expression_node(I(-3)).to_string(), "-3/1");
    EXPECT_EQ(get_rational_from_expression_node(R(2, 4)).to_string(), "1/2");
    for (const ExpressionNode& n : {B(true), F(0), O("x"), Op("+", {0, 1}), Op("not", {0})}) {
        try {
            get_rational_from_expression_node(n);
            ADD_FAILURE() << n.debug();
        } catch (const Error& e) {
            EXPECT_EQ(e.kind(), ErrorKind::ValueError);
            EXPECT_EQ(std::string(e.what()), "Expected a number!");
        }
    }
}

// ---------------------------------------------------------------------------
// Node equality and hashing
// ---------------------------------------------------------------------------

TEST(NodeEquality, Table) {
    struct Case {
        const char* name;
        ExpressionNode a, b;
        bool equal;
    };
    const std::vector<Case> cases = {
        {"int and whole rational differ", I(2), R(2, 1), false},
        {"true and one differ", B(true), I(1), false},
        {"rational by value", R(2, 4), R(1, 2), true},
        {"big ints", ExpressionNode::integer(Integer::from_decimal("123456789012345678901234567890")),
         ExpressionNode::integer(Integer::from_decimal("123456789012345678901234567890")), true},
        {"fluent and negation with the same index differ", F(3), Op("not", {3}), false},
        {"objects by exact text", O("a"), O("a"), true},
        {"objects of other text", O("a"), O("A"), false},
        {"list kinds differ", Op("and", {0, 1}), Op("or", {0, 1}), false},
        {"list by length", Op("+", {0, 1}), Op("+", {0, 1, 1}), false},
        {"binary kinds differ", Op("<=", {0, 1}), Op("<", {0, 1}), false},
        {"binary by both sides", Op("-", {0, 1}), Op("-", {0, 2}), false},
        {"same binary", Op("/", {2, 1}), Op("/", {2, 1}), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.name;
        if (c.equal) EXPECT_EQ(node_hash(c.a), node_hash(c.b)) << c.name;
    }
}

TEST(NodeHashing, SeparatesNeighbouringValues) {
    // Not a guarantee of the hash, but these pairs must not collide for maps keyed
    // by nodes to stay useful.
    EXPECT_NE(node_hash(F(3)), node_hash(Op("not", {3})));
    EXPECT_NE(node_hash(I(2)), node_hash(R(2, 1)));
    EXPECT_NE(expr_hash(FlatExpr{O("ab"), O("c")}), expr_hash(FlatExpr{O("a"), O("bc")}));
    EXPECT_NE(expr_hash(FlatExpr{}), expr_hash(FlatExpr{B(false)}));
}

// ---------------------------------------------------------------------------
// Interning
// ---------------------------------------------------------------------------

TEST(ExpressionManager, HandlesAreDenseAndShared) {
    ExpressionManager m;
    const FlatExpr cond{F(0), I(3), Op("<=", {0, 1})};
    EXPECT_EQ(m.put(cond).index, 0u);
    EXPECT_EQ(m.put(FlatExpr(cond)).index, 0u);
    EXPECT_EQ(m.size(), 1u);
    // Node kinds matter: an Int 2 is not the Rational 2/1.
    EXPECT_EQ(m.put(FlatExpr{I(2)}).index, 1u);
    EXPECT_EQ(m.put(FlatExpr{R(2, 1)}).index, 2u);
    // Equal rationals share one handle whatever the route to them.
    EXPECT_EQ(m.put(FlatExpr{R(4, 2)}).index, 2u);
    // The empty expression is an expression like any other.
    EXPECT_EQ(m.put(FlatExpr{}).index, 3u);
    EXPECT_EQ(m.put(FlatExpr{}).index, 3u);
    // The same formula laid out differently is another expression.
    EXPECT_EQ(m.put(FlatExpr{I(3), F(0), Op("<=", {1, 0})}).index, 4u);
    ASSERT_EQ(m.exprs().size(), 5u);
    EXPECT_EQ(debug_text(m.get(Expression{0})), debug_text(cond));
    EXPECT_EQ(debug_text(m.get(Expression{2})), "[Rational(Ratio { numer: 2, denom: 1 })]");

    ExpressionManager other;
    EXPECT_EQ(other.put(FlatExpr{B(true)}).index, 0u);
    EXPECT_EQ(other.put(cond).index, 1u);
    EXPECT_THROW(other.get(Expression{7}), InternalError);
}

// ---------------------------------------------------------------------------
// Task structures
// ---------------------------------------------------------------------------

TEST(Structures, ActionIdentityAndText) {
    EXPECT_EQ(Action{3}.debug(), "Action { idx: 3 }");
    EXPECT_EQ(Action{3}, Action{3});
    EXPECT_LT(Action{2}, Action{3});
    Timing t{false, mk_rational(-2, 4)};
    EXPECT_EQ(t.debug(), "Timing { start: false, delay: Ratio { numer: -1, denom: 2 } }");
    EXPECT_TRUE(t.is_from_end());
}

// ---------------------------------------------------------------------------
// Persistent path
// ---------------------------------------------------------------------------

std::vector<int> entries(const PersistentList<int>& l) {
    std::vector<int> out;
    for (int v : l.iter_rev()) out.push_back(v);
    return out;
}

TEST(PersistentList, AppendSharesTheTail) {
    PersistentList<int> empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_TRUE(entries(empty).empty());
    auto one = empty.append(1);
    auto two = one.append(2);
    auto three = two.append(3);
    auto sibling = two.append(4);
    EXPECT_EQ(entries(three), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(entries(sibling), (std::vector<int>{4, 2, 1}));
    EXPECT_EQ(entries(two), (std::vector<int>{2, 1}));
    // Both lists go on in the very entries of `two`, not in copies of them.
    EXPECT_EQ(&*std::next(three.iter_rev().begin()), &*two.iter_rev().begin());
    EXPECT_EQ(&*std::next(sibling.iter_rev().begin()), &*two.iter_rev().begin());
    EXPECT_TRUE(empty.empty());
    EXPECT_THROW(empty.front(), InternalError);
}

TEST(PersistentList, LongListIsReleasedWithoutDeepRecursion) {
    PersistentList<int> l;
    for (int i = 0; i < 1'000'000; ++i) l = l.append(i);
    EXPECT_EQ(l.front(), 999'999);
}

// ---------------------------------------------------------------------------
// Value cells
// ---------------------------------------------------------------------------

ExpressionNode BigI(const std::string& decimal) { return ExpressionNode::integer(Integer::from_decimal(decimal)); }
ExpressionNode BigR(const std::string& n, const std::string& d) {
    return ExpressionNode::rational(Rational(Integer::from_decimal(n), Integer::from_decimal(d)));
}

struct CellCase {
    const char* what;
    ExpressionNode node;
    bool boxed;
};

class CellRoundTrip : public ::testing::TestWithParam<CellCase> {};

INSTANTIATE_TEST_SUITE_P(
    Values, CellRoundTrip,
    ::testing::Values(CellCase{"true", B(true), false}, CellCase{"false", B(false), false},
                      CellCase{"zero", I(0), false}, CellCase{"minus one", I(-1), false},
                      CellCase{"largest inline integer", BigI("1152921504606846975"), false},
                      CellCase{"smallest inline integer", BigI("-1152921504606846976"), false},
                      CellCase{"one past the largest", BigI("1152921504606846976"), true},
                      CellCase{"one below the smallest", BigI("-1152921504606846977"), true},
                      CellCase{"an int64 bound", BigI("-9223372036854775808"), true},
                      CellCase{"beyond 64 bits", BigI("-123456789012345678901234567890"), true},
                      CellCase{"a half", R(1, 2), false}, CellCase{"negative thirds", R(-7, 3), false},
                      CellCase{"a rational with denominator 1", R(2, 1), false},
                      CellCase{"int32 bounds", R(-2147483647 - 1, 2147483647), true},
                      CellCase{"largest inline denominator", R(2147483647, 536870911), false},
                      CellCase{"denominator one past", BigR("1", "536870912"), true},
                      CellCase{"numerator beyond 32 bits", BigR("2147483648", "3"), true},
                      CellCase{"big parts", BigR("-98765432109876543210", "12345678901234567891"), true},
                      CellCase{"an object", O("ball1"), false}, CellCase{"the empty name", O(""), false},
                      CellCase{"a name with quotes", O("a \"b\"\n"), false},
                      CellCase{"a fluent node", F(7), true}, CellCase{"an operator node", Op("and", {0, 1}), true}),
    [](const ::testing::TestParamInfo<CellCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST_P(CellRoundTrip, DecodesToTheSameNode) {
    const CellCase& c = GetParam();
    const std::size_t boxes = CellBox::live();
    {
        const OwnedCell cell(c.node);
        EXPECT_EQ(cell.get().is_boxed(), c.boxed);
        const ExpressionNode back = cell.get().decode();
        EXPECT_EQ(back, c.node);
        EXPECT_EQ(back.debug(), c.node.debug());
        EXPECT_EQ(cell.get().is_number(), c.node.is_number());
        // Encoded again, the value is the same cell (or an equal box).
        const OwnedCell again(back);
        EXPECT_TRUE(same_value(cell.get(), again.get()));
        EXPECT_EQ(cell.get().value_hash(), again.get().value_hash());
        EXPECT_EQ(cell.get().is_boxed() ? 0 : cell.get().word(), again.get().is_boxed() ? 0 : again.get().word());
    }
    EXPECT_EQ(CellBox::live(), boxes);
}

TEST(ValueCells, EqualityIsNodeEquality) {
    const std::vector<ExpressionNode> values = {
        B(true), B(false), I(0), I(1), I(2), R(2, 1), R(1, 2), R(-1, 2), O("a"), O("b"), O("1"),
        BigI("1152921504606846976"), BigI("-1152921504606846977"), BigR("1", "536870912"), BigR("2147483648", "3"),
        F(1), F(2), Op("and", {0, 1}), Op("or", {0, 1})};
    std::vector<OwnedCell> cells, again;
    for (const ExpressionNode& v : values) cells.emplace_back(v), again.emplace_back(v);
    for (std::size_t i = 0; i < values.size(); ++i) {
        for (std::size_t j = 0; j < values.size(); ++j) {
            SCOPED_TRACE(values[i].debug() + " vs " + values[j].debug());
            EXPECT_EQ(same_value(cells[i].get(), again[j].get()), values[i] == values[j]);
            if (values[i] == values[j]) EXPECT_EQ(cells[i].get().value_hash(), again[j].get().value_hash());
        }
    }
}

// ---------------------------------------------------------------------------
// Search state
// ---------------------------------------------------------------------------

StateBox make_state(std::vector<ExpressionNode> values) { return State::make(values); }

TEST(State, CloneForChildStartsWithAnEmptyCache) {
    auto parent = make_state({I(1), B(true)});
    parent->g = 2.5;
    parent->path = parent->path.append(PathEntry{Action{4}, 0, 7});
    parent->todo[Action{4}] = TodoEntry{1, 8};
    parent->heuristic_cache.put("hff", 3.0);
    parent->heuristic_cache.put("hmax", std::nullopt);

    auto child = parent->clone_for_child();
    EXPECT_EQ(child->heuristic_cache.size(), 0u);
    EXPECT_FALSE(child->heuristic_cache.get("hff").has_value());
    EXPECT_EQ(child->g, 2.5);
    EXPECT_TRUE(child->path.same_as(parent->path));
    EXPECT_EQ(child->todo.at(Action{4}).instance, 8u);
    EXPECT_TRUE(*child == *parent);
    // Writes to the child leave the parent as it was.
    child.set_value(0, I(9));
    child->todo.clear();
    EXPECT_EQ(parent->values[0], I(1));
    EXPECT_EQ(parent->todo.size(), 1u);
}

TEST(State, FullCloneCopiesTheCacheAndStaysIndependent) {
    auto original = make_state({I(1)});
    original->heuristic_cache.put("hff", 3.0);
    original->heuristic_cache.put("hmax", std::nullopt);

    auto copy = original->full_clone();
    ASSERT_EQ(copy->heuristic_cache.size(), 2u);
    EXPECT_EQ(copy->heuristic_cache.get("hff"), std::optional<std::optional<double>>(3.0));
    EXPECT_EQ(copy->heuristic_cache.get("hmax"), std::optional<std::optional<double>>(std::optional<double>()));

    copy->heuristic_cache.put("hadd", 1.0);
    original->heuristic_cache.put("custom", 5.0);
    EXPECT_FALSE(original->heuristic_cache.get("hadd").has_value());
    EXPECT_FALSE(copy->heuristic_cache.get("custom").has_value());
    EXPECT_EQ(copy->heuristic_cache.size(), 3u);
    EXPECT_EQ(original->heuristic_cache.size(), 3u);
}

TEST(State, EqualityIgnoresCostAndPath) {
    auto a = make_state({I(1), O("x")});
    auto b = make_state({I(1), O("x")});
    b->g = 7;
    b->path = b->path.append(PathEntry{Action{0}, 0, 0});
    EXPECT_TRUE(*a == *b);
    EXPECT_EQ(a->hash(), b->hash());

    auto c = make_state({I(1), R(1, 1)});  // a Rational 1/1 is not the Int 1
    EXPECT_FALSE(*a == *c);
    auto shorter = make_state({I(1)});
    EXPECT_FALSE(*a == *shorter);
    EXPECT_FALSE(*shorter == *a);
}

TEST(State, WithNothingRunningTheHashIsTheValuesHash) {
    // Classical tasks never have running actions or open conditions: their states are
    // told apart by their values alone.
    auto s = make_state({I(1), O("x")});
    EXPECT_EQ(s->hash(), s->values_hash());
    EXPECT_EQ(s->hash(), make_state({I(1), O("x")})->hash());
    EXPECT_NE(s->hash(), make_state({I(1), O("y")})->hash());
}

// Boolean fluents are packed 64 to a word: a hash that combines words weakly lets a flip
// in one word cancel against a flip in the next (fluents 63 and 68 once did).
TEST(State, StatesThatDifferInOneOrTwoBooleanFluentsNeverShareAHash) {
    for (std::size_t n : {1, 2, 5, 63, 64, 65, 68, 127, 128, 129, 133, 191, 192, 250, 300}) {
        const LayoutPtr layout = StateLayout::make(std::vector<bool>(n, true));
        for (bool base_value : {false, true}) {
            std::vector<ExpressionNode> base(n, B(base_value));
            auto with_flipped = [&](std::initializer_list<std::size_t> fluents) {
                std::vector<ExpressionNode> values = base;
                for (std::size_t f : fluents) values[f] = B(!base_value);
                StateBox s = State::make(values, layout);
                EXPECT_FALSE(s->has_boxed());
                return s->hash();
            };
            boost::unordered_flat_map<std::uint64_t, std::string> seen;
            auto record = [&](std::uint64_t h, std::string what) {
                auto [it, fresh] = seen.try_emplace(h, what);
                EXPECT_TRUE(fresh) << n << " fluents: " << what << " shares its hash with " << it->second;
            };
            record(with_flipped({}), "the base");
            for (std::size_t i = 0; i < n; ++i) {
                record(with_flipped({i}), std::to_string(i));
                for (std::size_t j = i + 1; j < n; ++j)
                    record(with_flipped({i, j}), std::to_string(i) + "," + std::to_string(j));
            }
        }
    }
}

// Running actions (action, next event, instance) and open conditions (expression, count)
// of a state without a network.
struct Progress {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> running;
    std::vector<std::pair<FlatExpr, std::uint64_t>> conditions;
    std::size_t reserve = 0;  // room reserved up front: another layout, another iteration order
};

StateBox state_with(const Progress& p) {
    auto s = make_state({I(1), B(true)});
    s->todo.reserve(p.reserve);
    s->active_conditions.reserve(p.reserve);
    for (const auto& [action, next, instance] : p.running) s->todo[Action{action}] = TodoEntry{next, instance};
    for (const auto& [condition, count] : p.conditions) s->active_conditions[condition] = count;
    return s;
}

FlatExpr fluent_is(std::uint64_t f, std::int64_t v) { return {F(f), I(v), Op("==", {0, 1})}; }

std::vector<std::uint64_t> running_order(const State& s) {
    std::vector<std::uint64_t> order;
    for (const auto& entry : s.todo) order.push_back(entry.first.idx);
    return order;
}

TEST(State, RunningActionsAndOpenConditionsAreCompared) {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>> running;
    for (std::uint64_t a = 0; a < 12; ++a) running.emplace_back(a, 1 + a % 3, static_cast<std::uint32_t>(10 * a));
    const Progress base{running, {{fluent_is(0, 1), 1}, {fluent_is(1, 0), 2}}};
    auto with = [&](auto change) {
        Progress p = base;
        change(p);
        return p;
    };
    struct Case {
        const char* what;
        Progress other;
        bool equal;
    } cases[] = {
        {"the same", base, true},
        {"other instance numbers",
         with([](Progress& p) { for (auto& r : p.running) std::get<2>(r) += 1000; }), true},
        {"inserted the other way round into a larger table",
         with([](Progress& p) {
             std::reverse(p.running.begin(), p.running.end());
             std::reverse(p.conditions.begin(), p.conditions.end());
             p.reserve = 4096;
         }),
         true},
        {"an action at another next event", with([](Progress& p) { std::get<1>(p.running[3]) += 1; }), false},
        {"another action running", with([](Progress& p) { std::get<0>(p.running[3]) = 99; }), false},
        {"an action fewer running", with([](Progress& p) { p.running.pop_back(); }), false},
        {"nothing running", with([](Progress& p) { p.running.clear(); }), false},
        {"a condition counted once more", with([](Progress& p) { p.conditions[0].second = 2; }), false},
        {"another condition", with([](Progress& p) { p.conditions[1].first = fluent_is(1, 1); }), false},
        {"a condition fewer", with([](Progress& p) { p.conditions.pop_back(); }), false},
        {"no condition", with([](Progress& p) { p.conditions.clear(); }), false},
    };
    auto a = state_with(base);
    for (const Case& c : cases) {
        auto b = state_with(c.other);
        EXPECT_EQ(*a == *b, c.equal) << c.what;
        EXPECT_EQ(*b == *a, c.equal) << c.what;
        EXPECT_EQ(a->hash() == b->hash(), c.equal) << c.what;
        EXPECT_EQ(a->values_hash(), b->values_hash()) << c.what;
        if (c.other.reserve) EXPECT_NE(running_order(*a), running_order(*b)) << "the tables must be walked in another order";
    }
}

TEST(State, TemporalStateEqualsNoState) {
    auto t = make_state({I(1)});
    t->temporal_network.emplace(0.0);
    EXPECT_FALSE(*t == *t);
    auto u = t->clone_for_child();
    ASSERT_TRUE(u->temporal_network.has_value());
    EXPECT_FALSE(*t == *u);
    // Only this side's network is looked at.
    auto plain = make_state({I(1)});
    EXPECT_TRUE(*plain == *t);
}

TEST(State, FluentValueRange) {
    auto s = make_state({I(1), I(2)});
    EXPECT_EQ(s->fluent_value(1), I(2));
    EXPECT_THROW(s->fluent_value(2), InternalError);
}

}  // namespace
