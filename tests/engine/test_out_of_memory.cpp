// Running out of memory part-way through a call: std::bad_alloc, and what the call used
// works as before. The allocation functions of this test program can be made to fail
// from the n-th allocation on; each test makes a call fail at every allocation it makes
// in turn, and after each failure checks that the next call gives the usual answer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/resource.h>

#include "engine/heuristics/explicit_hmax.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/space/search_space.hpp"
#include "engine/state/state.hpp"
#include "node_builders.hpp"

namespace {

// Allocations still granted before every further one fails; negative: no limit.
std::atomic<long> g_granted{-1};

bool refused() noexcept {
    long left = g_granted.load(std::memory_order_relaxed);
    while (left >= 0) {
        if (left == 0) return true;
        if (g_granted.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return false;
    }
    return false;
}

void* allocate(std::size_t n, std::size_t align) {
    if (refused()) throw std::bad_alloc();
    const std::size_t size = n ? n : 1;
    void* p = align <= alignof(std::max_align_t) ? std::malloc(size)
                                                  : std::aligned_alloc(align, (size + align - 1) / align * align);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n, 0); }
void* operator new[](std::size_t n) { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return allocate(n, 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace quorvane {
namespace {
using namespace test_nodes;
using test_tasks::make_event;

// Runs `call` with the allocations from the n-th on failing, for n = 0, 1, ..., until it
// needs fewer than n; after each call `check` runs with allocation working again. Each
// round runs on a thread of its own, so that per-thread working tables start out empty.
template <class Call, class Check>
void fail_at_each_allocation(Call call, Check check) {
    for (long n = 0;; ++n) {
        bool failed = false;
        std::thread round([&] {
            g_granted.store(n, std::memory_order_relaxed);
            try {
                call();
            } catch (const std::bad_alloc&) {
                failed = true;
            }
            g_granted.store(-1, std::memory_order_relaxed);
            check();
        });
        round.join();
        if (!failed || ::testing::Test::HasFailure()) return;
        ASSERT_LT(n, 100000) << "the call never got through";
    }
}

// Action 0 starts a durative action (duration 2 to 5) setting f0 and ends it half a
// unit after its end setting f1; action 1 needs f1 and sets f2. The plan 0, 0, 1.
SearchSpace temporal_task() {
    SearchSpaceInput in;
    in.actions = {Action{0}, Action{1}};
    in.actions_duration = {DurationBounds{{I(2)}, {I(5)}, true, true}, std::nullopt};
    std::vector<TimedEvent> a0, a1;
    a0.emplace_back(Timing{true, Rational(0)}, make_event(0, 0, {B(true)}, {Effect{0, {B(true)}}}));
    a0.emplace_back(Timing{false, mk_rational(1, 2)}, make_event(0, 1, {F(0)}, {Effect{1, {B(true)}}}));
    a1.emplace_back(Timing{true, Rational(0)}, make_event(1, 0, {F(1)}, {Effect{2, {B(true)}}}));
    in.events = {{Action{0}, std::move(a0)}, {Action{1}, std::move(a1)}};
    in.initial_state = FlatExpr(3, B(false));
    in.goal = FlatExpr{F(2)};
    return SearchSpace(std::move(in));
}

// The potentials of the points of the network of the state after `plan`, in the order
// the points entered (their keys carry instance numbers, which every start takes anew),
// or nothing when a step does not apply.
std::optional<std::vector<double>> network_after(const SearchSpace& space, const std::vector<Action>& plan) {
    StatePtr state = space.initial_state();
    for (Action a : plan) {
        state = space.get_successor_state(*state, a);
        if (!state) return std::nullopt;
    }
    std::vector<double> potentials;
    for (const auto& [key, potential] : state->temporal_network->points()) potentials.push_back(potential);
    return potentials;
}

TEST(OutOfMemory, TemporalSuccessorsLeaveThePropagationTablesUsable) {
    const SearchSpace space = temporal_task();
    const std::vector<Action> plan = {Action{0}, Action{0}, Action{1}};
    const auto usual = network_after(space, plan);
    ASSERT_TRUE(usual);
    fail_at_each_allocation([&] { network_after(space, plan); },
                            [&] { EXPECT_EQ(network_after(space, plan), usual); });
}

TEST(OutOfMemory, ConditionsWithManyComparisonsThrowInsteadOfEndingTheProcess) {
    // Nine comparisons of integer fluents: more than the room for their outcomes that a
    // compiled condition keeps at hand.
    const std::size_t n = 9;
    FlatExpr condition;
    std::vector<NodeIndex> parts;
    for (std::uint64_t f = 0; f < n; ++f) {
        condition.push_back(F(f));
        condition.push_back(I(5));
        condition.push_back(Op("<=", {condition.size() - 2, condition.size() - 1}));
        parts.push_back(condition.size() - 1);
    }
    condition.push_back(Op("and", parts));
    SearchSpaceInput in;
    in.actions = {Action{0}};
    in.actions_duration = {std::nullopt};
    std::vector<TimedEvent> a0;
    a0.emplace_back(Timing{true, Rational(0)}, make_event(0, 0, condition, {Effect{0, {F(0), I(1), Op("+", {0, 1})}}}));
    in.events = {{Action{0}, std::move(a0)}};
    in.initial_state = FlatExpr(n, I(0));
    const SearchSpace space(std::move(in));
    const StatePtr initial = space.initial_state();
    auto first_value = [&] {
        const StatePtr next = space.get_successor_state(*initial, Action{0});
        return next ? std::optional<ExpressionNode>(next->values[0]) : std::nullopt;
    };
    ASSERT_EQ(first_value(), I(1));
    fail_at_each_allocation(first_value, [&] { EXPECT_EQ(first_value(), I(1)); });
}

class RelaxedOutOfMemory : public ::testing::TestWithParam<RelaxationKind> {};

TEST_P(RelaxedOutOfMemory, AFailedFirstEvaluationLeavesTheWorkspaceSound) {
    // Two actions in a chain: p, then q from p. A fresh heuristic sizes its workspace in
    // its first evaluation, which is the one that fails.
    std::vector<TimedEvent> a0, a1;
    a0.emplace_back(Timing{}, make_event(0, 0, {}, {Effect{0, {B(true)}}}));
    a1.emplace_back(Timing{}, make_event(1, 0, {F(0)}, {Effect{1, {B(true)}}}));
    const ActionEvents events = {{Action{0}, a0}, {Action{1}, a1}};
    auto heuristic = [&] {
        return DeleteRelaxationHeuristic({Action{0}, Action{1}}, {"bool", "bool"}, {}, events, {F(1)}, false, false,
                                         false, GetParam());
    };
    const StatePtr state(State::make(std::vector<ExpressionNode>{B(false), B(false)}));
    const std::optional<double> usual = heuristic().eval(*state);
    ASSERT_TRUE(usual);
    std::optional<DeleteRelaxationHeuristic> h;
    fail_at_each_allocation(
        [&] {
            h.reset();
            h.emplace(heuristic());
            h->eval(*state);
        },
        [&] {
            if (h) EXPECT_EQ(h->eval(*state), usual);
        });
}

INSTANTIATE_TEST_SUITE_P(Kinds, RelaxedOutOfMemory,
                         ::testing::Values(RelaxationKind::HFF, RelaxationKind::HADD, RelaxationKind::HMAX));

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_SANITIZED 1
#endif

std::atomic<int> g_probes{0};

TEST(OutOfMemory, ExplicitHmaxAsksForMemoryWhileARoundMultipliesItsValues) {
#ifdef QV_SANITIZED
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit below allows";
#else
    // x := x * 16 + y with y one of 0..15 makes each round hold sixteen times the values of
    // the last; the goal x == -1 is never possible. The machine is said to have nothing
    // left, so the evaluation must stop as soon as the values held pass the size at which
    // memory is looked up, inside the round that crosses it (some 120 MiB here), not once
    // that round is over: by then it would hold more than the 256 MiB of address space
    // allowed here, and fail an allocation without asking.
    const std::uint64_t digits = 16;
    ActionEvents events;
    for (std::uint64_t k = 0; k < digits; ++k) {
        std::vector<TimedEvent> list;
        list.emplace_back(Timing{}, make_event(k, 0, {}, {Effect{1, {I(static_cast<std::int64_t>(k))}}}));
        events.emplace_back(Action{k}, std::move(list));
    }
    std::vector<TimedEvent> grow, finish;
    grow.emplace_back(Timing{}, make_event(digits, 0, {},
                                           {Effect{0, {F(0), I(digits), Op("*", {0, 1}), F(1), Op("+", {2, 3})}}}));
    finish.emplace_back(Timing{}, make_event(digits + 1, 0, {F(0), I(-1), Op("==", {0, 1})}, {Effect{2, {B(true)}}}));
    events.emplace_back(Action{digits}, std::move(grow));
    events.emplace_back(Action{digits + 1}, std::move(finish));
    std::vector<Action> actions;
    for (const auto& [a, list] : events) actions.push_back(a);
    const HMaxExplicit h(actions, {"int", "int", "bool"}, events, {F(2)}, false);
    const StatePtr state(State::make(std::vector<ExpressionNode>{I(0), I(0), B(false)}));

    struct Guard {
        rlimit before{};
        Guard() {
            HMaxExplicit::set_memory_probe_for_testing([]() -> std::optional<std::size_t> {
                ++g_probes;
                return 0;
            });
            getrlimit(RLIMIT_AS, &before);
            long pages = 0;
            if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
                std::fclose(f);
            }
            rlimit tight = before;
            tight.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (rlim_t{256} << 20);
            if (before.rlim_cur != RLIM_INFINITY && before.rlim_cur < tight.rlim_cur) tight.rlim_cur = before.rlim_cur;
            setrlimit(RLIMIT_AS, &tight);
        }
        ~Guard() {
            setrlimit(RLIMIT_AS, &before);
            HMaxExplicit::set_memory_probe_for_testing(nullptr);
        }
    } guard;
    EXPECT_THROW(h.eval(*state), std::bad_alloc);
    EXPECT_EQ(g_probes.load(), 1);
#endif
}

}  // namespace
}  // namespace quorvane
