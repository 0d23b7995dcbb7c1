// The delete-relaxation heuristic as a whole: every kind against a plain evaluation of
// the same relaxed task, and one heuristic with its copies on many threads.
#include "heuristic_oracles.hpp"

namespace quorvane {
namespace {
using namespace test_nodes;
using namespace heuristic_oracles;
// The builder, not the namespace quorvane::relaxation.
using heuristic_oracles::relaxation;

TEST(Relaxation, AgreesWithAPlainEvaluationOnRandomPropositionalTasks) {
    RandomRelaxedTasks random(917);
    expect_relaxation_agrees_with_plain_evaluation(random, 600, 4);
}

TEST(Relaxation, AgreesWithAPlainEvaluationOnRandomNumericTasks) {
    RandomTasks random(4711);
    expect_relaxation_agrees_with_plain_evaluation(random, 800, 3);
}

// A heuristic reads each layout's boolean bits by a plan it makes when a state of that
// layout first comes: states of several layouts, taken in turn by one heuristic, must
// get the values they get in cells.
TEST(Relaxation, StatesInBitsAndCellsOfSeveralLayoutsGetTheValuesOfCells) {
    RandomRelaxedTasks random(2024);
    for (int n = 0; n < 150; ++n) {
        const Task t = random.task();
        std::vector<bool> all_bits, some_bits;
        for (std::size_t f = 0; f < t.types.size(); ++f) {
            all_bits.push_back(t.types[f] == "bool");
            some_bits.push_back(t.types[f] == "bool" && f % 2 == 1);
        }
        const std::vector<LayoutPtr> layouts{StateLayout::make(all_bits), StateLayout::make(some_bits), nullptr};
        for (RelaxationKind kind : kAllKinds) {
            std::optional<DeleteRelaxationHeuristic> made;
            try {
                made.emplace(relaxation(t, kind));
            } catch (const std::exception&) {
                continue;  // refused by construction
            }
            for (int k = 0; k < 6; ++k) {
                const StateBox in_cells = random.state(t);
                const Outcome expected = outcome_of([&] { return relaxation(t, kind).eval(*in_cells); });
                std::vector<ExpressionNode> values;
                for (std::size_t f = 0; f < in_cells->values.size(); ++f) values.push_back(in_cells->values[f]);
                for (std::size_t round = 0; round < 2 * layouts.size(); ++round) {
                    StateBox s = State::make(values, layouts[(round + k) % layouts.size()]);
                    s->todo = in_cells->todo;
                    ASSERT_EQ(outcome_of([&] { return made->eval(*s); }), expected) << "task " << n << ", state " << k;
                }
            }
        }
    }
}

// Evaluations of one heuristic, and of its copies, on several threads at once take
// their working tables from one shared pool without a lock, and with internal caching
// share one value cache: every thread must get the values of evaluations run one at a
// time.
class RelaxationOnThreads : public ::testing::TestWithParam<bool> {};

TEST_P(RelaxationOnThreads, OneHeuristicAndItsCopiesEvaluateOnManyThreadsAtOnce) {
    const bool caching = GetParam();
    RandomRelaxedTasks random(31337);
    for (int n = 0; n < 40; ++n) {
        const Task t = random.task();
        for (RelaxationKind kind : kAllKinds) {
            std::optional<DeleteRelaxationHeuristic> made;
            try {
                made.emplace(relaxation(t, kind, caching));
            } catch (const std::exception&) {
                continue;  // refused by construction
            }
            const DeleteRelaxationHeuristic& h = *made;
            // The values alone come from a heuristic of their own, so that with caching
            // the threads also store values side by side.
            const DeleteRelaxationHeuristic reference = relaxation(t, kind);
            std::vector<StateBox> states;
            std::vector<Outcome> alone;
            for (int k = 0; k < 12; ++k) {
                states.push_back(random.state(t));
                alone.push_back(outcome_of([&] { return reference.eval(*states.back()); }));
            }
            constexpr int kThreads = 4;
            std::vector<std::vector<Outcome>> seen(kThreads);
            std::vector<std::thread> threads;
            for (int th = 0; th < kThreads; ++th) {
                threads.emplace_back([&, th] {
                    const DeleteRelaxationHeuristic copy(h);
                    for (int round = 0; round < 5; ++round)
                        for (std::size_t k = 0; k < states.size(); ++k)
                            seen[th].push_back(
                                outcome_of([&] { return ((k + th) % 2 == 0 ? h : copy).eval(*states[k]); }));
                });
            }
            for (std::thread& th : threads) th.join();
            for (int th = 0; th < kThreads; ++th)
                for (std::size_t i = 0; i < seen[th].size(); ++i)
                    ASSERT_EQ(seen[th][i], alone[i % states.size()]) << "task " << n << ", thread " << th;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Caching, RelaxationOnThreads, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("SharedValueCache") : std::string("NoCache");
                         });

}  // namespace
}  // namespace quorvane
