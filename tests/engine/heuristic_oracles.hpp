// What the engine tests of the heuristics share: small builders of tasks and states,
// and the reference oracles that evaluate the heuristics the plain way, with random
// tasks to compare them on.
#pragma once

#include <gtest/gtest.h>

#include <iostream>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <utility>
#include <vector>

#include "engine/support/errors.hpp"
#include "engine/expressions/node.hpp"
#include "engine/expressions/evaluation.hpp"
#include "engine/heuristics/heuristic.hpp"
#include "engine/heuristics/value_cache.hpp"
#include "engine/heuristics/explicit_hmax.hpp"
#include "engine/heuristics/delete_relaxation.hpp"
#include "engine/heuristics/relaxed_task.hpp"
#include "engine/state/state.hpp"
#include "engine/task/actions.hpp"
#include "engine/expressions/splitting.hpp"
#include "engine/expressions/expression_manager.hpp"
#include "node_builders.hpp"

namespace quorvane::heuristic_oracles {
using namespace test_nodes;

inline Event event(FlatExpr conditions, std::vector<Effect> effects) {
    Event e;
    e.conditions = std::move(conditions);
    e.effects = std::move(effects);
    return e;
}
// An action's events, as the caller lists them.
inline std::pair<Action, std::vector<TimedEvent>> action_events(std::uint64_t idx, std::vector<Event> events) {
    std::vector<TimedEvent> out;
    for (std::size_t i = 0; i < events.size(); ++i) {
        events[i].action = Action{idx};
        events[i].pos = i;
        out.emplace_back(Timing{}, std::move(events[i]));
    }
    return {Action{idx}, std::move(out)};
}
// An action whose events do nothing but follow one another.
inline std::pair<Action, std::vector<TimedEvent>> plain_action(std::uint64_t idx, std::size_t events) {
    return action_events(idx, std::vector<Event>(events, event({}, {})));
}

inline StateBox make_state(std::vector<ExpressionNode> values, std::vector<std::pair<std::uint64_t, std::uint64_t>> running = {}) {
    StateBox s = State::make(values);
    for (auto [a, next] : running) s->todo[Action{a}] = RunningEntry{next, 7};
    return s;
}

inline std::vector<Action> actions_of(const ActionEvents& events) {
    std::vector<Action> out;
    for (const auto& [a, list] : events) out.push_back(a);
    return out;
}

struct Task {
    std::vector<std::string> types;
    ObjectsByType objects;
    ActionEvents events;
    FlatExpr goal;
    std::vector<Action> actions;  // defaults to the keys of `events`
};

inline DeleteRelaxationHeuristic relaxation(const Task& t, RelaxationKind kind, bool caching = false,
                                     bool inadmissible = false, bool no_numbers = false) {
    return DeleteRelaxationHeuristic(t.actions.empty() ? actions_of(t.events) : t.actions, t.types, t.objects, t.events,
                                     t.goal, caching, inadmissible, no_numbers, kind);
}

inline constexpr RelaxationKind kAllKinds[] = {RelaxationKind::HFF, RelaxationKind::HADD, RelaxationKind::HMAX};

inline HMaxExplicit explicit_hmax(const Task& t, bool caching = false) {
    return HMaxExplicit(t.actions.empty() ? actions_of(t.events) : t.actions, t.types, t.events, t.goal, caching);
}

// ---------------------------------------------------------------------------
// Explicit-value hmax against a plain evaluation that enumerates every combination
// of possible values again in every round.

// What an evaluation gave: a value, a dead end, or an error's kind and text; or, from
// the plain evaluation alone, nothing because it ran out of rounds.
struct Outcome {
    bool finished = true;
    std::optional<double> value;
    std::string error;
    bool operator==(const Outcome&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    if (!o.finished) return out << "unfinished";
    if (!o.error.empty()) return out << "error " << o.error;
    if (!o.value) return out << "dead end";
    return out << *o.value;
}

template <class F>
Outcome outcome_of(F&& evaluate) {
    Outcome o;
    try {
        o.value = evaluate();
    } catch (const InternalError& e) {
        o.error = std::string("internal: ") + e.what();
    } catch (const Error& e) {
        o.error = "error " + std::to_string(static_cast<int>(e.kind())) + ": " + e.what();
    }
    return o;
}

// A goal whose root can only be a number or an object is refused at every evaluation,
// as the search space's goal test refuses it.
inline bool refused_goal(const Task& t) {
    if (t.goal.empty()) return false;
    const ExpressionNode& root = t.goal.back();
    if (root.kind() == NodeKind::Fluent)
        return root.fluent_index() < t.types.size() && t.types[root.fluent_index()] != "bool";
    return root.is_number() || root.kind() == NodeKind::Object || root.kind() == NodeKind::Plus ||
           root.kind() == NodeKind::Minus || root.kind() == NodeKind::Times || root.kind() == NodeKind::Div;
}

inline const Outcome kRefusedGoal{true, std::nullopt, "error 0: The goal is not a boolean expression!"};

class PlainExplicitHmax {
  public:
    explicit PlainExplicitHmax(const Task& t) : refused_goal_(refused_goal(t)) {
        ExpressionManager manager;
        n_ = t.types.size();
        std::vector<FlatExpr> idle;
        for (const auto& [a, list] : t.events) {
            const std::uint64_t k = list.size();
            progress_.push_back({a, n_, k});
            idle.push_back({F(n_ + k - 1)});
            FlatExpr previous{F(n_ + k - 1)};
            for (std::uint64_t i = 0; i < k; ++i) {
                Op op;
                op.pre.push_back(previous);
                for (FlatExpr& c : heuristics_detail::distinct_event_conditions(list[i].second, manager)) {
                    if (c.empty() || (c.size() == 1 && c[0].is_true())) continue;
                    for (FlatExpr& part : split_expression(c)) op.pre.push_back(std::move(part));
                }
                op.effects.push_back(Effect{n_ + i, {B(true)}});
                for (const Effect& e : list[i].second.effects) op.effects.push_back(e);
                const bool never = std::any_of(op.pre.begin(), op.pre.end(),
                                               [](const FlatExpr& c) { return c.size() == 1 && c[0].is_false(); });
                if (!never) ops_.push_back(std::move(op));
                previous = {F(n_ + i)};
            }
            n_ += k;
        }
        goal_ = split_expression(t.goal);
        goal_.insert(goal_.end(), idle.begin(), idle.end());
        find_goal_relevant();
    }

    // Gives up after `max_rounds` rounds, or when a fluent has too many values.
    Outcome eval(const State& state, std::uint32_t max_rounds) const {
        if (refused_goal_) return kRefusedGoal;
        return outcome_of([&] { return run(state, max_rounds); });
    }

  private:
    struct Op {
        std::vector<FlatExpr> pre;
        std::vector<Effect> effects;
    };
    struct Progress {
        Action action;
        std::uint64_t first, count;
    };
    using Sets = std::vector<std::vector<ExpressionNode>>;
    struct GaveUp {};

    static std::vector<std::uint64_t> fluents_of(const FlatExpr& e) {
        std::vector<std::uint64_t> out;
        for (std::uint64_t f : get_fluents(e))
            if (std::find(out.begin(), out.end(), f) == out.end()) out.push_back(f);
        return out;
    }
    // Small tasks only: the plain evaluation gives up on large value sets.
    static constexpr std::size_t kMaxValues = 200;
    static bool add(std::vector<ExpressionNode>& set, const ExpressionNode& v) {
        if (std::find(set.begin(), set.end(), v) != set.end()) return false;
        if (set.size() == kMaxValues) throw GaveUp{};
        set.push_back(v);
        return true;
    }

    // The goal's fluents, and those that feed an effect on one of them.
    void find_goal_relevant() {
        relevant_.assign(n_, false);
        for (const FlatExpr& c : goal_)
            for (std::uint64_t f : fluents_of(c)) relevant_[f] = true;
        for (bool grew = true; grew;) {
            grew = false;
            for (const Op& op : ops_) {
                std::vector<std::uint64_t> feeders;
                for (const Effect& e : op.effects) {
                    if (!relevant_[e.fluent]) continue;
                    for (std::uint64_t f : fluents_of(e.value)) feeders.push_back(f);
                    for (const FlatExpr& c : op.pre)
                        for (std::uint64_t f : fluents_of(c)) feeders.push_back(f);
                }
                for (std::uint64_t f : feeders) {
                    grew = grew || !relevant_[f];
                    relevant_[f] = true;
                }
            }
        }
    }

    // Every combination of one possible value per fluent of e, the last fluent
    // varying fastest, until visit returns true.
    template <class Visit>
    static bool each_value(const FlatExpr& e, const Sets& possible, Visit&& visit) {
        const std::vector<std::uint64_t> vars = fluents_of(e);
        for (std::uint64_t f : vars)
            if (possible[f].empty()) return false;
        std::vector<std::size_t> at(vars.size(), 0);
        for (;;) {
            FluentAssignments source;
            for (std::size_t i = 0; i < vars.size(); ++i) source.assign(vars[i], possible[vars[i]][at[i]]);
            if (visit(internal_evaluate(e, source))) return true;
            std::size_t i = vars.size();
            for (;;) {
                if (i == 0) return false;
                --i;
                if (++at[i] < possible[vars[i]].size()) break;
                at[i] = 0;
            }
        }
    }

    using Known = std::vector<std::pair<FlatExpr, bool>>;
    static bool can_be_true(const std::vector<FlatExpr>& conditions, const Sets& possible,
                            const std::vector<bool>& changed, Known& known) {
        for (const FlatExpr& c : conditions) {
            auto it = std::find_if(known.begin(), known.end(), [&](const auto& k) { return k.first == c; });
            if (it != known.end() && it->second) continue;
            if (it != known.end()) {
                const std::vector<std::uint64_t> vars = fluents_of(c);
                if (std::none_of(vars.begin(), vars.end(), [&](std::uint64_t f) { return changed[f]; }))
                    return false;
            }
            const bool holds = each_value(c, possible, [](const ExpressionNode& v) { return v.is_true(); });
            if (it != known.end()) it->second = holds;
            else known.emplace_back(c, holds);
            if (!holds) return false;
        }
        return true;
    }

    std::optional<double> run(const State& state, std::uint32_t max_rounds) const {
        Sets possible(n_);
        std::uint64_t i = 0;
        for (const ExpressionNode& v : state.values) possible[i++] = {v};
        for (const Progress& p : progress_) {
            auto it = state.todo.find(p.action);
            const std::uint64_t last = it != state.todo.end() ? it->second.next_event - 1 : p.count - 1;
            for (std::uint64_t q = 0; q < p.count; ++q) possible[p.first + q] = {B(q == last)};
        }
        std::vector<bool> changed(n_, true), enabled(ops_.size(), false);
        Known known;
        for (std::uint32_t round = 0; std::find(changed.begin(), changed.end(), true) != changed.end(); ++round) {
            if (round == max_rounds) throw GaveUp{};
            if (can_be_true(goal_, possible, changed, known)) return round;
            Sets made(n_);
            for (std::size_t o = 0; o < ops_.size(); ++o) {
                const Op& op = ops_[o];
                auto touches = [&](const auto& exprs, auto&& expr_of) {
                    for (const auto& x : exprs)
                        for (std::uint64_t f : fluents_of(expr_of(x)))
                            if (changed[f]) return true;
                    return false;
                };
                if (enabled[o]) {
                    if (!touches(op.effects, [](const Effect& e) -> const FlatExpr& { return e.value; })) continue;
                } else {
                    if (!touches(op.pre, [](const FlatExpr& c) -> const FlatExpr& { return c; })) continue;
                    if (!can_be_true(op.pre, possible, changed, known)) continue;
                    enabled[o] = true;
                }
                for (const Effect& e : op.effects)
                    each_value(e.value, possible, [&](const ExpressionNode& v) {
                        add(made[e.fluent], v);
                        return false;
                    });
            }
            bool relevant = false;
            for (std::uint64_t f = 0; f < n_; ++f) {
                changed[f] = false;
                for (const ExpressionNode& v : made[f]) changed[f] = add(possible[f], v) || changed[f];
                relevant = relevant || (changed[f] && relevant_[f]);
            }
            if (!relevant && std::find(changed.begin(), changed.end(), true) != changed.end()) return std::nullopt;
        }
        return std::nullopt;
    }

  public:
    Outcome eval_or_give_up(const State& state, std::uint32_t max_rounds) const {
        try {
            return eval(state, max_rounds);
        } catch (const GaveUp&) {
            return Outcome{false, std::nullopt, ""};
        }
    }

  private:
    bool refused_goal_;
    std::uint64_t n_ = 0;
    std::vector<Progress> progress_;
    std::vector<FlatExpr> goal_;
    std::vector<Op> ops_;
    std::vector<bool> relevant_;
};

// Random small tasks: a few int and bool fluents, actions of one or two events with
// random conditions and effects (counters, sums and products of fluents, divisions
// that may meet 0, the odd arithmetic on a bool), and a random goal.
class RandomTasks {
  public:
    explicit RandomTasks(std::uint32_t seed) : rng_(seed) {}

    Task task() {
        Task t;
        numeric_.clear();
        const int fluents = pick(1, 4);
        for (int f = 0; f < fluents; ++f) {
            numeric_.push_back(chance(0.6));
            t.types.push_back(numeric_.back() ? "int" : "bool");
        }
        const int actions = pick(1, 3);
        for (int a = 0; a < actions; ++a) {
            std::vector<Event> events;
            const int count = chance(0.3) ? 2 : 1;
            for (int e = 0; e < count; ++e) {
                Event ev;
                if (chance(0.6)) ev.conditions = condition(1);
                if (chance(0.15)) ev.end_conditions.push_back(condition(0));
                const int effects = pick(0, 2);
                for (int k = 0; k < effects; ++k) {
                    const std::uint64_t f = pick(0, fluents - 1);
                    FlatExpr value = !numeric_[f] ? condition(1) : chance(0.4) ? step(f) : number(2);
                    ev.effects.push_back(Effect{f, std::move(value)});
                }
                events.push_back(std::move(ev));
            }
            t.events.push_back(action_events(a, std::move(events)));
        }
        t.goal = chance(0.5) ? conjunction() : condition(2);
        return t;
    }

    StateBox state(const Task& t) {
        std::vector<ExpressionNode> values;
        for (bool numeric : numeric_)
            values.push_back(numeric ? (chance(0.1) ? R(1, 2) : I(pick(-1, 3))) : B(chance(0.5)));
        std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
        for (const auto& [a, list] : t.events)
            if (list.size() > 1 && chance(0.4)) running.emplace_back(a.idx, 1);
        return make_state(std::move(values), running);
    }

  private:
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    std::uint64_t fluent(bool numeric) {
        std::vector<std::uint64_t> kind;
        for (std::uint64_t f = 0; f < numeric_.size(); ++f)
            if (numeric_[f] == numeric || chance(0.05)) kind.push_back(f);
        if (kind.empty()) return pick(0, static_cast<int>(numeric_.size()) - 1);
        return kind[pick(0, static_cast<int>(kind.size()) - 1)];
    }

    struct Builder {
        FlatExpr nodes;
        NodeIndex add(ExpressionNode n) {
            nodes.push_back(std::move(n));
            return nodes.size() - 1;
        }
    };
    NodeIndex number(Builder& b, int depth) {
        const int choice = pick(0, depth > 0 ? 19 : 11);
        if (choice < 5) return b.add(I(pick(-1, 3)));
        if (choice < 12) return b.add(F(fluent(true)));
        static const char* const kinds[] = {"+", "+", "+", "-", "-", "*", "*", "/"};
        const NodeIndex l = number(b, depth - 1);
        const NodeIndex r = number(b, depth - 1);
        return b.add(Op(kinds[choice - 12], {l, r}));
    }
    // f + 1 or f + 2: a counter.
    FlatExpr step(std::uint64_t f) { return {F(f), I(pick(1, 2)), Op("+", {0, 1})}; }
    NodeIndex boolean(Builder& b, int depth) {
        const int choice = pick(0, depth > 0 ? 5 : 2);
        if (choice == 0) return b.add(B(chance(0.7)));
        if (choice == 1) return b.add(F(fluent(false)));
        if (choice == 2 || choice == 3) {
            static const char* const kinds[] = {"<=", "<", "=="};
            const NodeIndex l = number(b, 1);
            const NodeIndex r = number(b, 1);
            return b.add(Op(kinds[pick(0, 2)], {l, r}));
        }
        if (choice == 4) {
            const NodeIndex x = boolean(b, depth - 1);
            return b.add(Op("not", {x}));
        }
        const NodeIndex l = boolean(b, depth - 1);
        const NodeIndex r = boolean(b, depth - 1);
        return b.add(Op(chance(0.5) ? "and" : "or", {l, r}));
    }
    FlatExpr number(int depth) {
        Builder b;
        number(b, depth);
        return b.nodes;
    }
    FlatExpr condition(int depth) {
        Builder b;
        boolean(b, depth);
        return b.nodes;
    }
    FlatExpr conjunction() {
        Builder b;
        std::vector<NodeIndex> parts;
        for (int i = pick(2, 3); i > 0; --i) {
            if (chance(0.5)) {
                // A threshold on a numeric fluent: c <= x.
                const NodeIndex c = b.add(I(pick(2, 6)));
                const NodeIndex x = b.add(F(fluent(true)));
                parts.push_back(b.add(Op("<=", {c, x})));
            } else {
                parts.push_back(boolean(b, 1));
            }
        }
        b.add(Op("and", parts));
        return b.nodes;
    }

    std::mt19937 rng_;
    std::vector<bool> numeric_;
};

// ---------------------------------------------------------------------------
// Delete relaxation against a plain evaluation of the same relaxed task

// The relaxed task evaluated the plain way: the state's atoms interned into a copy of
// the task's manager, then costs propagated in rounds, each round applying, in
// increasing id, the operators with a leaf among the handles improved in the last one,
// whose precondition cost strictly dropped; improvements take effect in the next round.
class PlainRelaxation {
  public:
    PlainRelaxation(const Task& t, RelaxationKind kind, bool inadmissible, bool no_numbers)
        : task_(relaxation::build_relaxed_task(t.actions.empty() ? actions_of(t.events) : t.actions, t.types,
                                               t.objects, t.events, t.goal, inadmissible, no_numbers, kind)),
          refused_goal_(refused_goal(t)) {}

    Outcome eval(const State& state) const {
        if (refused_goal_) return kRefusedGoal;
        return outcome_of([&] { return run(state, nullptr); });
    }

    std::vector<Action> reachable_actions(const State& state) const {
        std::vector<std::uint32_t> ids;
        run(state, &ids);
        std::vector<Action> out;
        for (const relaxation::Operator& op : task_.operators) {
            if (std::find(out.begin(), out.end(), op.action) != out.end()) continue;
            bool all = true;
            for (const relaxation::Operator& other : task_.operators)
                if (other.action == op.action && std::find(ids.begin(), ids.end(), other.id) == ids.end()) all = false;
            if (all) out.push_back(op.action);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

  private:
    static constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
    static bool present(double c) { return !std::isnan(c); }
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    static Expression atom(ExpressionManager& m, std::uint64_t f, const ExpressionNode& v) {
        if (v.is_true()) return m.put(FlatExpr{F(f)});
        if (v.is_false()) return m.put(FlatExpr{F(f), Op("not", {0})});
        return m.put(FlatExpr{F(f), v, Op("==", {0, 1})});
    }

    double cost(const relaxation::HeuristicExpression& c, const std::vector<double>& costs) const {
        QV_REQUIRE(!c.entries.empty(), "the cost of a condition without entries");
        std::vector<double> stack;
        for (const relaxation::HNode& e : c.entries) {
            if (e.kind == relaxation::HNode::Kind::Leaf) {
                stack.push_back(costs[e.value]);
                continue;
            }
            std::vector<double> operands(stack.end() - static_cast<std::ptrdiff_t>(e.value), stack.end());
            stack.resize(stack.size() - e.value);
            double r;
            if (e.kind == relaxation::HNode::Kind::And) {
                r = 0.0;
                for (std::size_t i = operands.size(); i-- > 0;) {
                    if (!present(operands[i])) {
                        r = kAbsent;
                        break;
                    }
                    r = task_.kind == RelaxationKind::HMAX ? std::max(r, operands[i]) : r + operands[i];
                }
            } else {
                r = std::numeric_limits<double>::max();
                for (double x : operands)
                    if (present(x)) r = std::min(r, x);
                if (r == std::numeric_limits<double>::max()) r = kAbsent;
            }
            stack.push_back(r);
        }
        return stack.back();
    }

    // Every leaf without disjunctions; else, of each Or, the cheapest operand (the
    // later one on ties).
    std::vector<std::uint64_t> hff_leaves(const relaxation::HeuristicExpression& c,
                                          const std::vector<double>& costs) const {
        std::vector<std::pair<double, std::vector<std::uint64_t>>> stack;
        for (const relaxation::HNode& e : c.entries) {
            if (e.kind == relaxation::HNode::Kind::Leaf) {
                stack.push_back({costs[e.value], {e.value}});
                continue;
            }
            std::vector<std::pair<double, std::vector<std::uint64_t>>> operands(
                stack.end() - static_cast<std::ptrdiff_t>(e.value), stack.end());
            stack.resize(stack.size() - e.value);
            std::pair<double, std::vector<std::uint64_t>> r{kAbsent, {}};
            if (e.kind == relaxation::HNode::Kind::And) {
                r.first = 0.0;
                for (std::size_t i = operands.size(); i-- > 0;)
                    r.first = present(operands[i].first) && present(r.first) ? r.first + operands[i].first : kAbsent;
                for (auto& operand : operands) r.second.insert(r.second.end(), operand.second.begin(), operand.second.end());
                if (!present(r.first)) r.second.clear();
            } else {
                for (auto& operand : operands)
                    if (present(operand.first) && (!present(r.first) || operand.first <= r.first)) r = operand;
            }
            stack.push_back(r);
        }
        if (!c.has_disjunction) {
            std::vector<std::uint64_t> all;
            for (const relaxation::HNode& e : c.entries)
                if (e.kind == relaxation::HNode::Kind::Leaf) all.push_back(e.value);
            return all;
        }
        return stack.back().second;
    }

    std::optional<double> run(const State& state, std::vector<std::uint32_t>* reachable) const {
        const relaxation::RelaxedTask& t = task_;
        const bool hff = t.kind == RelaxationKind::HFF, hmax = t.kind == RelaxationKind::HMAX;
        ExpressionManager m = t.manager;
        std::vector<Expression> seeds;
        for (std::uint64_t f = 0; f < state.values.size(); ++f) seeds.push_back(atom(m, f, state.values[f]));
        const std::size_t n = m.size();
        std::vector<double> costs(n, kAbsent), improvement(n, kAbsent);
        std::vector<std::uint32_t> supporter(n, kNone);
        for (Expression h : seeds) costs[h.index] = 0.0;
        for (const relaxation::LinearCondition& lc : t.linear_conditions)
            if (internal_evaluate(m.get(lc.handle), state).is_true()) costs[lc.handle.index] = 0.0;
        for (Expression h : t.other_numeric_conditions)
            costs[h.index] = internal_evaluate(m.get(h), state).is_true() ? 0.0 : 1.0;
        for (const auto& [a, count] : t.event_counts) {
            const std::vector<Expression>& list = t.progress_atoms.at(a);
            auto running = state.todo.find(a);
            costs[(running != state.todo.end() ? list[running->second.next_event - 1] : list.back()).index] = 0.0;
        }
        std::vector<std::vector<std::uint32_t>> index(n);
        for (const relaxation::Operator& op : t.operators)
            for (const relaxation::HNode& e : op.precondition.entries)
                if (e.kind == relaxation::HNode::Kind::Leaf) index[e.value].push_back(op.id);
        std::vector<std::uint64_t> frontier;
        for (std::uint64_t h = 0; h < n; ++h)
            if (present(costs[h])) frontier.push_back(h);

        std::vector<std::optional<double>> linear_values(t.linear_conditions.size());
        auto linear_value = [&](std::uint32_t l) {
            if (!linear_values[l]) {
                const relaxation::LinearCondition& lc = t.linear_conditions[l];
                double v = lc.weights.back();
                for (std::size_t i = 0; i < lc.fluents.size(); ++i)
                    v = v + get_rational_from_expression_node(state.fluent_value(lc.fluents[i])).to_double() *
                                lc.weights[i];
                linear_values[l] = v;
            }
            return *linear_values[l];
        };
        std::vector<double> op_cost(t.operators.size(), kAbsent);
        std::vector<std::set<std::uint32_t>> achievers(t.linear_conditions.size());
        auto offer = [&](std::uint64_t h, double v, std::uint32_t id) {
            if (std::isnan(v)) return;
            const double old = present(improvement[h]) ? improvement[h] : costs[h];
            if (!present(old) || old > v) {
                improvement[h] = v;
                supporter[h] = id;
            } else if (old == v) {
                supporter[h] = supporter[h] == kNone ? id : std::max(supporter[h], id);
            }
        };
        while (!frontier.empty()) {
            std::set<std::uint32_t> batch(t.empty_precondition_operators.begin(), t.empty_precondition_operators.end());
            for (std::uint64_t h : frontier) batch.insert(index[h].begin(), index[h].end());
            for (std::uint32_t id : batch) {
                const relaxation::Operator& op = t.operators[id];
                const double c = cost(op.precondition, costs);
                if (!present(c) || (present(op_cost[id]) && !(c < op_cost[id]))) continue;
                op_cost[id] = c;
                for (Expression a : op.add_effects) offer(a.index, c + op.cost, id);
                for (const relaxation::LoweredCondition& low : t.lowered_conditions[id]) {
                    const Expression h = t.linear_conditions[low.linear].handle;
                    if (costs[h.index] == 0.0) continue;
                    const double value = linear_value(low.linear);
                    const double r = value <= 0                                                   ? 0.0
                                     : !t.inadmissible_numeric_heuristic_variant && low.assigned ? 1.0
                                                                                                  : std::ceil(-value / low.change);
                    double v = c + r * op.cost;
                    if (hmax) {
                        achievers[low.linear].insert(id);
                        double cheapest = kAbsent;
                        for (std::uint32_t o : achievers[low.linear]) {
                            const double oc = o == id ? c : cost(t.operators[o].precondition, costs);
                            if (!present(cheapest) || oc < cheapest) cheapest = oc;
                        }
                        v = r * op.cost + cheapest;
                    }
                    offer(h.index, v, id);
                }
            }
            frontier.clear();
            for (std::uint64_t h = 0; h < n; ++h)
                if (present(improvement[h])) {
                    costs[h] = improvement[h];
                    improvement[h] = kAbsent;
                    frontier.push_back(h);
                }
        }
        if (reachable) {
            for (std::uint32_t id = 0; id < op_cost.size(); ++id)
                if (present(op_cost[id])) reachable->push_back(id);
            return std::nullopt;
        }
        const double g = cost(t.goal_condition, costs);
        if (!present(g)) return std::nullopt;
        if (!hff) {
            const double i = cost(t.idle_condition, costs);
            if (!present(i)) return std::nullopt;
            return hmax ? std::max(g, i) : g + i;
        }
        double remaining = 0.0;
        for (const auto& [a, entry] : state.todo)
            remaining += static_cast<double>(t.event_counts.at(a)) - static_cast<double>(entry.next_event);
        if (g == 0.0) return remaining;
        std::set<std::uint64_t> seen;
        std::set<Action> used;
        std::vector<std::uint64_t> work;
        for (std::uint64_t h : hff_leaves(t.goal_condition, costs))
            if (seen.insert(h).second) work.push_back(h);
        while (!work.empty()) {
            const std::uint64_t h = work.back();
            work.pop_back();
            if (supporter[h] == kNone) continue;
            const relaxation::Operator& op = t.operators[supporter[h]];
            if (used.insert(op.action).second && !state.todo.contains(op.action))
                remaining += static_cast<double>(t.event_counts.at(op.action));
            for (std::uint64_t x : hff_leaves(op.precondition, costs))
                if (seen.insert(x).second) work.push_back(x);
        }
        return remaining;
    }

    relaxation::RelaxedTask task_;
    bool refused_goal_;
};

// Random propositional tasks with a few counters: more actions and events than above,
// conditions of nested and/or/not over boolean fluents and thresholds on the counters,
// effects that set or copy booleans and count up or down.
class RandomRelaxedTasks {
  public:
    explicit RandomRelaxedTasks(std::uint32_t seed) : rng_(seed) {}

    Task task() {
        Task t;
        bools_ = pick(2, 7);
        ints_ = chance(0.5) ? 0 : pick(1, 2);
        for (int f = 0; f < bools_; ++f) t.types.push_back("bool");
        for (int f = 0; f < ints_; ++f) t.types.push_back("int");
        const int actions = pick(2, 9);
        for (int a = 0; a < actions; ++a) {
            std::vector<Event> events;
            for (int e = pick(1, 3); e > 0; --e) {
                Event ev;
                if (chance(0.8)) ev.conditions = condition(pick(0, 2));
                for (int k = pick(0, 2); k > 0; --k) {
                    if (ints_ > 0 && chance(0.25)) {
                        const std::uint64_t x = bools_ + pick(0, ints_ - 1);
                        FlatExpr value = chance(0.7)   ? FlatExpr{F(x), I(pick(1, 2)), Op("+", {0, 1})}
                                         : chance(0.5) ? FlatExpr{F(x), I(1), Op("-", {0, 1})}
                                                       : FlatExpr{I(pick(0, 4))};
                        ev.effects.push_back(Effect{x, std::move(value)});
                    } else {
                        const std::uint64_t f = pick(0, bools_ - 1);
                        FlatExpr value = chance(0.85) ? FlatExpr{B(chance(0.7))} : condition(0);
                        ev.effects.push_back(Effect{f, std::move(value)});
                    }
                }
                events.push_back(std::move(ev));
            }
            t.events.push_back(action_events(a, std::move(events)));
        }
        Builder b;
        std::vector<NodeIndex> parts;
        for (int i = pick(1, 4); i > 0; --i) parts.push_back(chance(0.8) ? literal(b) : boolean(b, 1));
        if (parts.size() > 1) b.add(Op(chance(0.85) ? "and" : "or", parts));
        t.goal = b.nodes;
        return t;
    }

    StateBox state(const Task& t) {
        std::vector<ExpressionNode> values;
        for (int f = 0; f < bools_; ++f) values.push_back(B(chance(0.3)));
        for (int f = 0; f < ints_; ++f) values.push_back(I(pick(0, 3)));
        std::vector<std::pair<std::uint64_t, std::uint64_t>> running;
        for (const auto& [a, list] : t.events)
            if (list.size() > 1 && chance(0.3)) running.emplace_back(a.idx, pick(1, static_cast<int>(list.size()) - 1));
        return make_state(std::move(values), running);
    }

  private:
    struct Builder {
        FlatExpr nodes;
        NodeIndex add(ExpressionNode n) {
            nodes.push_back(std::move(n));
            return nodes.size() - 1;
        }
    };
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    NodeIndex literal(Builder& b) {
        if (ints_ > 0 && chance(0.2)) {
            const NodeIndex c = b.add(I(pick(1, 6)));
            const NodeIndex x = b.add(F(bools_ + pick(0, ints_ - 1)));
            return b.add(Op(chance(0.5) ? "<=" : "<", {c, x}));
        }
        const NodeIndex p = b.add(F(pick(0, bools_ - 1)));
        return chance(0.25) ? b.add(Op("not", {p})) : p;
    }
    NodeIndex boolean(Builder& b, int depth) {
        if (depth == 0 || chance(0.3)) return literal(b);
        std::vector<NodeIndex> parts;
        for (int i = pick(2, 3); i > 0; --i) parts.push_back(boolean(b, depth - 1));
        const NodeIndex x = b.add(Op(chance(0.6) ? "and" : "or", parts));
        return chance(0.15) ? b.add(Op("not", {x})) : x;
    }
    FlatExpr condition(int depth) {
        Builder b;
        boolean(b, depth);
        return b.nodes;
    }

    std::mt19937 rng_;
    int bools_ = 0, ints_ = 0;
};

// One heuristic and a copy of it evaluate a series of states, so that an evaluation
// starts from whatever the previous one (an error included) left in its tables.
template <class Tasks>
inline void expect_relaxation_agrees_with_plain_evaluation(Tasks& random, int tasks, int states_per_task) {
    int refused = 0, values = 0, dead_ends = 0, errors = 0;
    for (int n = 0; n < tasks; ++n) {
        const Task t = random.task();
        for (RelaxationKind kind : kAllKinds) {
            for (bool inadmissible : {false, true}) {
                // A task that construction refuses is refused by both the same way.
                std::optional<PlainRelaxation> made;
                const Outcome built = outcome_of([&]() -> std::optional<double> {
                    made.emplace(t, kind, inadmissible, false);
                    return 0.0;
                });
                if (!made) {
                    EXPECT_EQ(outcome_of([&]() -> std::optional<double> {
                                  relaxation(t, kind, false, inadmissible);
                                  return 0.0;
                              }),
                              built);
                    ++refused;
                    continue;
                }
                const PlainRelaxation& plain = *made;
                const DeleteRelaxationHeuristic h = relaxation(t, kind, false, inadmissible);
                const DeleteRelaxationHeuristic copy(h);
                for (int k = 0; k < states_per_task; ++k) {
                    const auto state = random.state(t);
                    const Outcome expected = plain.eval(*state);
                    const DeleteRelaxationHeuristic& which = k % 2 == 0 ? h : copy;
                    ASSERT_EQ(outcome_of([&] { return which.eval(*state); }), expected)
                        << "task " << n << ", kind " << static_cast<int>(kind) << ", inadmissible " << inadmissible
                        << ", state " << k;
                    values += expected.value.has_value();
                    dead_ends += expected.error.empty() && !expected.value;
                    errors += !expected.error.empty();
                    if (!expected.error.empty()) continue;
                    ASSERT_EQ(which.reachable_actions(*state), plain.reachable_actions(*state))
                        << "task " << n << ", kind " << static_cast<int>(kind) << ", state " << k;
                }
            }
        }
    }
    std::cout << "refused " << refused << ", values " << values << ", dead ends " << dead_ends << ", errors " << errors << "\n";
}

}  // namespace quorvane::heuristic_oracles
