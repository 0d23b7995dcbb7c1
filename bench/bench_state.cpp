// Micro-benchmarks of the per-successor costs: cloning a state for a child, writing
// one fluent, reading values, evaluating a small condition. They measure and print;
// they assert nothing.
//
//   cmake -S . -B build/bench -G Ninja -DQUORVANE_BUILD_PYTHON=OFF -DQUORVANE_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/bench_state
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "engine/expressions/evaluation.hpp"
#include "engine/state/state.hpp"

using namespace quorvane;

namespace {

template <class F>
void measure(const char* name, long iterations, F&& body) {
    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations; ++i) body(i);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-40s %10.1f ns/op  (%ld ops)\n", name, seconds * 1e9 / static_cast<double>(iterations),
                iterations);
}

// Keeps the optimiser from dropping a computed value.
template <class T>
void keep(const T& v) {
    asm volatile("" : : "g"(&v) : "memory");
}

}  // namespace

int main() {
    for (std::size_t fluents : {16u, 512u, 16384u}) {
        std::vector<ExpressionNode> values;
        for (std::size_t i = 0; i < fluents; ++i) values.push_back(ExpressionNode::boolean(i % 2 == 0));
        // Boolean fluents, packed as bits as a search space packs them.
        StateBox built = State::make(values, StateLayout::make(std::vector<bool>(fluents, true)));
        for (int i = 0; i < 20; ++i) built->path.push_front(PathEntry{Action{1}, 0, 0});
        const StatePtr shared(std::move(built));
        const State& parent = *shared;

        std::printf("-- %zu fluents\n", fluents);
        measure("clone_for_child", 1'000'000, [&](long) { keep(parent.clone_for_child()); });
        measure("clone_for_child + one write", 1'000'000, [&](long i) {
            auto child = parent.clone_for_child();
            child.set_cell(static_cast<std::size_t>(i) % fluents, Cell::boolean(true));
            keep(child);
        });
        measure("read one value", 10'000'000,
                [&](long i) { keep(parent.fluent_value(static_cast<std::size_t>(i * 7) % fluents).kind()); });
        // fluent 0 and not fluent 1
        FlatExpr condition{ExpressionNode::fluent(0), ExpressionNode::fluent(1), ExpressionNode::negation(1),
                           ExpressionNode::list(NodeKind::And, {0, 2})};
        measure("evaluate (f0 and not f1)", 2'000'000, [&](long) { keep(internal_evaluate(condition, parent)); });
        measure("clone_for_child + hash", 200'000, [&](long) { keep(parent.clone_for_child()->hash()); });
    }
    return 0;
}
