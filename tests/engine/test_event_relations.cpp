#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/space/event_relations.hpp"
#include "engine/support/errors.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {

using namespace test_tasks;

// One row per action, each with the given events.
FluentSetTable table_of(const std::vector<std::vector<EventShape>>& rows) {
    FluentSetTable t;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        t.emplace_back();
        for (std::size_t k = 0; k < rows[i].size(); ++k)
            t.back().push_back(EventFluentSets::of(make_event(Action{i}, k, rows[i][k])));
    }
    return t;
}

EventPair pair(std::uint64_t a, std::size_t i, std::uint64_t b, std::size_t j) {
    return EventPair{EventRef{Action{a}, i}, EventRef{Action{b}, j}};
}

// --- interference and precedence ------------------------------------------------------------

struct CheckCase {
    const char* name;
    EventShape first, second;
    bool mutex, precedence;
};

class CheckerTable : public ::testing::TestWithParam<CheckCase> {};

// Both ways a checker answers: from its bit matrix, and (for tasks with too many events
// for a matrix) from the fluent sets.
constexpr std::size_t kAnswerModes[] = {MutexChecker::kMaxMatrixEvents, 0};

TEST_P(CheckerTable, AnswersForEventsOfTwoActions) {
    const CheckCase& c = GetParam();
    FluentSetTable sets = table_of({{c.first}, {c.second}});
    for (std::size_t limit : kAnswerModes) {
        MutexChecker mutex(sets, limit);
        PrecedenceChecker precedence(sets, limit);
        ASSERT_EQ(mutex.tabulated(), limit > 0);
        EXPECT_EQ(mutex.check(pair(0, 0, 1, 0)), c.mutex) << c.name;
        EXPECT_EQ(precedence.check(pair(0, 0, 1, 0)), c.precedence) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckerTable,
    ::testing::Values(
        CheckCase{"both read", {.reads = {1}}, {.reads = {1}}, false, false},
        CheckCase{"read then write", {.reads = {1}}, {.writes = {1}}, true, false},
        CheckCase{"write then read", {.writes = {1}}, {.reads = {1}}, true, false},
        CheckCase{"both write", {.writes = {1}}, {.writes = {1}}, true, false},
        CheckCase{"different fluents", {.writes = {1}}, {.reads = {2}, .writes = {3}}, false, false},
        CheckCase{"writer before opener", {.writes = {1}}, {.opens = {1}}, false, true},
        CheckCase{"opener before writer", {.opens = {1}}, {.writes = {1}}, false, false},
        CheckCase{"closer before writer", {.closes = {1}}, {.writes = {1}}, false, true},
        CheckCase{"writer before closer", {.writes = {1}}, {.closes = {1}}, false, false}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (ch == ' ') ch = '_';
        return n;
    });

TEST(Checkers, EffectValuesCountAsReads) {
    Event reader = make_event(Action{0}, 0, {});
    reader.effects.push_back(Effect{5, fluent_expr(1)});  // f5 := f1
    FluentSetTable sets = {{EventFluentSets::of(reader)}, {EventFluentSets::of(make_event(Action{1}, 0, {.writes = {1}}))}};
    for (std::size_t limit : kAnswerModes) {
        EXPECT_TRUE(MutexChecker(sets, limit).check(pair(0, 0, 1, 0)));
        EXPECT_TRUE(MutexChecker(sets, limit).check(pair(1, 0, 0, 0)));
    }
}

// The tables must give the answers of the fluent-set tests for every ordered pair, over
// events that share fluents in every way; rows of different lengths (and empty rows) test
// the numbering.
TEST(Checkers, TablesAgreeWithTheFluentSetTestsOnRandomEvents) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> events_per_action(0, 3), fluents(0, 3), fluent(0, 7);
    auto some = [&] {
        std::vector<std::uint64_t> out(fluents(rng));
        for (auto& f : out) f = fluent(rng);
        return out;
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<std::vector<EventShape>> rows(1 + round % 7);
        for (auto& row : rows) {
            row.resize(events_per_action(rng));
            for (EventShape& e : row) e = EventShape{some(), some(), some(), some()};
        }
        const FluentSetTable sets = table_of(rows);
        for (std::size_t limit : kAnswerModes) {
            const MutexChecker mutex(sets, limit);
            const PrecedenceChecker precedence(sets, limit);
            for (std::uint64_t a = 0; a < rows.size(); ++a)
                for (std::size_t i = 0; i < rows[a].size(); ++i)
                    for (std::uint64_t b = 0; b < rows.size(); ++b)
                        for (std::size_t j = 0; j < rows[b].size(); ++j) {
                            const bool same = a == b;
                            const EventFluentSets& s = sets[a][i];
                            const EventFluentSets& t = sets[b][j];
                            ASSERT_EQ(mutex.check(pair(a, i, b, j)), same || detail::Interferes::holds(s, t));
                            ASSERT_EQ(precedence.check(pair(a, i, b, j)), same || detail::MustFollow::holds(s, t));
                        }
        }
    }
}

TEST(Checkers, AnswerFromASharedTableWithoutCopyingIt) {
    auto sets = std::make_shared<const FluentSetTable>(
        table_of({{{.writes = {1}}}, {{.reads = {1}, .opens = {1}}}, {{.reads = {2}}}}));
    const std::weak_ptr<const FluentSetTable> watch = sets;
    // With a matrix the table is not needed once the answers are in it.
    const PrecedenceChecker tabulated(sets);
    EXPECT_EQ(sets.use_count(), 1);
    // Without one, both checkers answer from the caller's table, which they keep alive.
    const MutexChecker mutex(sets, 0);
    const PrecedenceChecker precedence(sets, 0);
    EXPECT_EQ(sets.use_count(), 3);
    sets.reset();
    EXPECT_FALSE(watch.expired());
    for (const PrecedenceChecker* p : {&tabulated, &precedence}) {
        EXPECT_TRUE(p->check(pair(0, 0, 1, 0)));
        EXPECT_FALSE(p->check(pair(1, 0, 0, 0)));
    }
    EXPECT_TRUE(mutex.check(pair(0, 0, 1, 0)));
    EXPECT_FALSE(mutex.check(pair(0, 0, 2, 0)));
}

TEST(Checkers, SameActionIsTrueWithoutLookingAnythingUp) {
    // Positions far outside the table, and a checker with no table at all: the shortcut
    // looks nothing up.
    FluentSetTable sets = table_of({{{}, {}}});
    const MutexChecker mutex(sets);
    const PrecedenceChecker precedence(sets);
    const MutexChecker empty;
    for (auto [i, j] : {std::pair<std::size_t, std::size_t>{0, 1}, {1, 0}, {0, 0}, {5, 17}}) {
        EXPECT_TRUE(mutex.check(pair(0, i, 0, j)));
        EXPECT_TRUE(precedence.check(pair(0, i, 0, j)));
        EXPECT_TRUE(empty.check(pair(3, i, 3, j)));
    }
}

TEST(Checkers, EachOrderedPairHasItsOwnAnswerFixedWhenTheCheckerIsMade) {
    for (std::size_t limit : kAnswerModes) {
        auto sets = std::make_unique<FluentSetTable>(table_of({{{.writes = {1}}}, {{.opens = {1}}}}));
        const PrecedenceChecker precedence(*sets, limit);
        // The answers do not depend on the caller's table afterwards.
        *sets = table_of({{{}}, {{}}});
        sets.reset();
        EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0)));
        EXPECT_TRUE(precedence.check(pair(0, 0, 1, 0)));
        // The reversed pair is a question of its own, with its own answer.
        EXPECT_FALSE(precedence.check(pair(1, 0, 0, 0)));
    }
}

TEST(Checkers, OutOfRangeFailsWithItsTextAndLeavesTheCheckerUsable) {
    FluentSetTable sets = table_of({{{.writes = {1}}}, {{.reads = {1}}}});
    const char* row = "event of an action beyond the search space's fluent sets";
    const char* position = "event position beyond its action's fluent sets";
    // The first event's action and position are checked before the second's.
    const std::vector<std::pair<EventPair, const char*>> bad = {
        {pair(0, 1, 1, 0), position}, {pair(0, 0, 1, 3), position}, {pair(0, 0, 4, 0), row},
        {pair(9, 0, 1, 0), row},      {pair(0, 1, 4, 0), position}, {pair(9, 0, 1, 3), row}};
    for (std::size_t limit : kAnswerModes) {
        const MutexChecker mutex(sets, limit);
        for (const auto& [key, text] : bad) {
            try {
                mutex.check(key);
                ADD_FAILURE() << "no error for " << text;
            } catch (const InternalError& e) {
                EXPECT_STREQ(e.what(), text);
            }
        }
        // Later calls, from another thread too, neither block nor see a broken table.
        auto later = std::async(std::launch::async, [&] {
            bool r = mutex.check(pair(0, 0, 1, 0));
            EXPECT_THROW(mutex.check(pair(0, 1, 1, 0)), InternalError);
            return r;
        });
        ASSERT_EQ(later.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(later.get());
    }
}

}  // namespace
}  // namespace quorvane
