// Searches on many threads at once over one shared search space, each with its own copy
// of one heuristic (copies share the heuristic's internal value cache): every thread must
// get exactly the plan and statistics of a search that ran alone. Run under
// ThreadSanitizer, this also checks the locking of what the threads share: the search
// space's instance counter and checker memo tables, and the heuristic's value cache.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/heuristics/heuristic.hpp"
#include "engine/search/searches.hpp"
#include "engine/space/search_space.hpp"
#include "node_builders.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using test_tasks::make_event;
using search::SearchResult;

FlatExpr fluent_below(std::uint64_t f, std::int64_t v) { return {F(f), I(v), Op("<", {0, 1})}; }

// f0 == v and f1 == v and ... for the first n fluents.
FlatExpr all_equal(std::uint64_t n, std::int64_t v) {
    FlatExpr e;
    NodeIndex conjunction = 0;
    for (std::uint64_t f = 0; f < n; ++f) {
        const NodeIndex at = e.size();
        e.insert(e.end(), {F(f), I(v), Op("==", {at, at + 1})});
        conjunction = f == 0 ? at + 2 : (e.push_back(Op("and", {conjunction, at + 2})), e.size() - 1);
    }
    return e;
}

struct Task {
    SearchSpaceInput input;
    std::vector<std::string> fluent_types;
    FlatExpr goal;
};

// Two counters that only go up, to 3 each: every order of the six steps is a plan, and
// no step leads back, so even depth-first search ends.
Task counters() {
    Task t;
    for (std::uint64_t c = 0; c < 2; ++c) {
        std::vector<TimedEvent> events;
        events.emplace_back(Timing{true, Rational(0)},
                            make_event(c, 0, fluent_below(c, 3), {Effect{c, {F(c), I(1), Op("+", {0, 1})}}}));
        t.input.events.emplace_back(Action{c}, std::move(events));
        t.input.actions.push_back(Action{c});
        t.input.actions_duration.push_back(std::nullopt);
    }
    t.goal = all_equal(2, 3);
    t.input.initial_state = FlatExpr{I(0), I(0)};
    t.input.goal = t.goal;
    t.fluent_types = {"int", "int"};
    return t;
}

// Three durative actions of duration 1, each run at most once: its start moves fluent i
// from 0 to 1, its end from 1 to 2. The goal needs all three ended, in any interleaving.
Task durative() {
    Task t;
    const DurationBounds one{{I(1)}, {I(1)}, false, false};
    t.goal = all_equal(3, 2);
    for (std::uint64_t a = 0; a < 3; ++a) {
        std::vector<TimedEvent> events;
        events.emplace_back(Timing{true, Rational(0)},
                            make_event(a, 0, {F(a), I(0), Op("==", {0, 1})}, {Effect{a, {I(1)}}}));
        events.emplace_back(Timing{false, Rational(0)}, make_event(a, 1, {B(true)}, {Effect{a, {I(2)}}}));
        t.input.events.emplace_back(Action{a}, std::move(events));
        t.input.actions.push_back(Action{a});
        t.input.actions_duration.push_back(one);
    }
    t.input.initial_state = FlatExpr{I(0), I(0), I(0)};
    t.input.goal = t.goal;
    t.fluent_types = {"int", "int", "int"};
    return t;
}

// Distance of every fluent from its goal value 3 (counters) or 2 (durative actions).
class Shortfall final : public CustomCallable {
  public:
    explicit Shortfall(std::int64_t target) : target_(target) {}
    std::optional<double> call(StatePtr state) const override {
        double sum = 0;
        for (std::size_t i = 0; i < state->values.size(); ++i)
            sum += static_cast<double>(target_ - *state->values[i].as_int().to_int64());
        return sum;
    }
    std::unique_ptr<CustomCallable> clone() const override { return std::make_unique<Shortfall>(target_); }

  private:
    std::int64_t target_;
};

struct Case {
    const char* name;
    Task (*task)();
    bool custom;
    std::int64_t target;
};

Heuristic make_heuristic(const Case& c, const Task& t) {
    if (c.custom) return Heuristic(CustomHeuristic(std::make_unique<Shortfall>(c.target)), false);
    // Internal caching on: the copies share one value cache, the point of the test.
    return Heuristic(Heuristic::Engine(std::in_place_type<DeleteRelaxationHeuristic>, t.input.actions, t.fluent_types,
                                       ObjectsByType{}, t.input.events, t.goal, true, false, false,
                                       RelaxationKind::HFF),
                     false);
}

using Run = std::function<SearchResult(const SearchSpace&, const Heuristic&)>;

// Every search, with the arguments of the module's search functions. The temporal task
// runs the heuristic searches with weak equality, so that they meet duplicates.
std::vector<std::pair<std::string, Run>> every_search(bool weak) {
    auto weighted = [weak](double w, bool bounded) -> Run {
        return [=](const SearchSpace& s, const Heuristic& h) {
            return bounded ? search::wastar_search_memory_bounded(s, h, w, std::nullopt, false, weak)
                           : search::wastar_search(s, h, w, std::nullopt, false, weak);
        };
    };
    return {
        {"bfs", [](const SearchSpace& s, const Heuristic&) { return search::basic_search(s, true, std::nullopt, false); }},
        {"dfs", [](const SearchSpace& s, const Heuristic&) { return search::basic_search(s, false, std::nullopt, false); }},
        {"ehc", [weak](const SearchSpace& s, const Heuristic& h) { return search::ehc_search(s, h, std::nullopt, false, weak); }},
        {"gbfs", weighted(1.0, false)},
        {"astar", weighted(0.5, false)},
        {"wastar", weighted(0.7, false)},
        {"gbfs_memory_bounded", weighted(1.0, true)},
        {"astar_memory_bounded", weighted(0.5, true)},
        {"wastar_memory_bounded", weighted(0.7, true)},
        {"multiqueue",
         [weak](const SearchSpace& s, const Heuristic& h) {
             std::vector<std::pair<Heuristic, double>> pairs{{h, 1.0}, {h, 0.5}};
             return search::_multiqueue_search(s, std::move(pairs), search::RoundRobinSwitchPolicy{2},
                                                   std::nullopt, false, weak);
         }},
    };
}

struct Outcome {
    std::optional<std::vector<Action>> plan;
    search::Statistics statistics;
    friend bool operator==(const Outcome&, const Outcome&) = default;
};

class Concurrency : public ::testing::TestWithParam<Case> {};

TEST_P(Concurrency, EveryThreadGetsTheResultOfASearchRunAlone) {
    const Case& c = GetParam();
    const Task task = c.task();
    SearchSpaceInput input = task.input;
    const SearchSpace space(std::move(input));
    const Heuristic heuristic = make_heuristic(c, task);
    const auto searches = every_search(space.is_temporal());

    std::vector<Outcome> alone;
    for (const auto& [name, run] : searches) {
        SearchResult r = run(space, Heuristic(heuristic));
        ASSERT_TRUE(r.plan.has_value()) << name;
        alone.push_back(Outcome{std::move(r.plan), std::move(r.statistics)});
    }

    constexpr int kThreads = 8;
    std::vector<std::vector<Outcome>> seen(kThreads);
    std::barrier start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const Heuristic mine = heuristic;  // a copy: shares the internal value cache
            start.arrive_and_wait();
            // Each thread begins at another search, so that different searches overlap.
            for (std::size_t k = 0; k < searches.size(); ++k) {
                const std::size_t i = (k + static_cast<std::size_t>(t)) % searches.size();
                SearchResult r = searches[i].second(space, mine);
                seen[t].push_back(Outcome{std::move(r.plan), std::move(r.statistics)});
            }
        });
    }
    for (std::thread& th : threads) th.join();

    for (int t = 0; t < kThreads; ++t) {
        for (std::size_t k = 0; k < searches.size(); ++k) {
            const std::size_t i = (k + static_cast<std::size_t>(t)) % searches.size();
            EXPECT_EQ(seen[t][k], alone[i]) << searches[i].first << " on thread " << t;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SharedSearchSpace, Concurrency,
                         ::testing::Values(Case{"counters_hff", counters, false, 3},
                                           Case{"counters_custom", counters, true, 3},
                                           Case{"durative_hff", durative, false, 2},
                                           Case{"durative_custom", durative, true, 2}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvane
